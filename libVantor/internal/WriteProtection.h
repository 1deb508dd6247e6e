// libVantor/internal/WriteProtection.h
// Every service that writes a drive asks this first, before it dismounts anything: a
// drive whose medium refuses writes fails with ERR_DISK_ACCESS and a message naming it
// as write-protected (or as having no medium, an empty card-reader slot), instead of
// failing at its first write with volumes dismounted.
#pragma once
#include <libVantor/IDisk.h>

namespace vantor {

void refuseIfWriteProtected(const IDisk& disk);

}  // namespace vantor

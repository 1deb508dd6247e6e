#include <libVantor/internal/WriteProtection.h>

#include <libVantor/VantorException.h>
#include <libVantor/WinDiskDevice.h>

namespace vantor {

void refuseIfWriteProtected(const IDisk& disk) {
  const auto* handleDisk = dynamic_cast<const WinDisk*>(&disk);
  if (handleDisk == nullptr || !handleDisk->isWriteProtected()) return;
  const auto* drive = dynamic_cast<const WinDiskDevice*>(&disk);
  const vrk::String name = drive ? vrk::String("\"") + drive->getLocator() + "\"" : vrk::String("");
  const char* why = handleDisk->hasNoMedium() ? "has no medium" : "is write-protected (read-only)";
  throw VantorException(ERR_DISK_ACCESS, vrk::String("The drive ") + name + (drive ? " " : "") + why +
                                             ": nothing was written to it.");
}

}  // namespace vantor

// libVantor/internal/DriveChunkReads.h
//
// The drive thread's part of a capture or a verify (stage 0 of the ring): reads the
// chunks of `runs` in order, one request of up to 256 sectors each, into the ring.
// It stops at the first chunk it cannot read, leaving that chunk's failure in its slot
// (ERR_DISK_ACCESS naming the chunk, with removesFile set, or what the drive threw as it
// was), and before a chunk once an abort was asked for.
#pragma once
#include <libVantor/IDisk.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

void readDriveChunks(IDisk& disk, const SectorMap& runs, ChunkRing& ring, const DiskImagerImp& engine);

}  // namespace vantor

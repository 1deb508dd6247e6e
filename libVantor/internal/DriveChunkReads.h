// libVantor/internal/DriveChunkReads.h
//
// The drive thread's part of a capture or a verify (stage 0 of the ring): reads the
// chunks of `runs` in order, into the ring: one request per chunk of up to 256 sectors
// with a ring of one slot; with more, the neighbouring chunks of a run that free slots
// take go out in one request of up to DRIVE_REQUEST_BYTES, never past the run's end, the
// data filter still seeing each chunk on its own.
// It stops at the first chunk it cannot read, leaving that chunk's failure in its slot
// (ERR_DISK_ACCESS naming the chunk, with removesFile set, or what the drive threw as it
// was, on the request's first chunk), and before a request once an abort was asked for.
// A chunk that `kept` holds whole is copied from there instead of being read.
#pragma once
#include <libVantor/IDisk.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/KeptReads.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

void readDriveChunks(IDisk& disk, const SectorMap& runs, ChunkRing& ring, const DiskImagerImp& engine,
                     const KeptReads* kept = nullptr);

}  // namespace vantor

// libVantor/internal/SectorReadAhead.h
//
// Serves a run of single-sector reads of consecutive sectors of a drive opened without
// the system cache (the scan of the gap after the MBR reads up to 2047 of them) from one
// larger read, so that the drive answers a few requests instead of one per sector.
//
// What it promises:
// - The first single-sector read of a run, and any read of more than one sector, go to
//   the drive as they are; only from the second sector of a run on is a block of up to
//   64 KiB read ahead, starting at the sector asked for and never past the drive's end.
// - Any write, and any read that is not the next single sector, drops what was read
//   ahead first: data written is always read back from the drive.
// - When the block cannot be read, the sector is read on its own by the caller (its
//   failure is logged as any other), and no block is read ahead again before the end
//   of the range that failed.
// Not thread-safe: one drive object is used from one thread at a time.
#pragma once
#include <libVantor/Types.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <vrk/Types.h>

namespace vantor {

class SectorReadAhead final {
 public:
  SectorReadAhead(u32 sectorSize, u64 driveSectors);

  // Copies sector `sector` into `out` (one sector) and answers true when the run of
  // single-sector reads lets it be served ahead; false when the caller must read it.
  bool readSingle(vrk::NativeHandle drive, u32 sector, void* out);
  // Another kind of request (a longer read, a write): the run ends, the block is dropped.
  void drop();

 private:
  bool holds(u32 sector) const { return blockCount_ > 0 && sector >= blockFirst_ && sector - blockFirst_ < blockCount_; }

  u32 sectorSize_;
  u64 driveSectors_;
  DiskBufferPointer block_;
  u32 blockFirst_ = 0;
  u32 blockCount_ = 0;
  bool runOpen_ = false;  // the last request was a single-sector read of sector lastSingle_
  u32 lastSingle_ = 0;
  u64 noBlockBefore_ = 0;  // a block read failed: none again below this sector
};

}  // namespace vantor

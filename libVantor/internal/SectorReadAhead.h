// libVantor/internal/SectorReadAhead.h
//
// Serves sequential reads of a drive opened without the system cache from fewer, larger
// reads, so that the drive answers a few requests instead of one per sector (the scan of
// the gap after the MBR reads up to 2047 single sectors) or one per chunk (capture and
// verify read long runs 256 sectors at a time).
//
// What it promises:
// - The first read of a run goes to the drive as it is. Only a read that starts where
//   the last read ended is served from the block; a new block is read ahead for it only
//   when it also asks for as many sectors as the last one did, so a shorter read (the
//   end of a run of chunks) that the block does not hold goes to the drive as it is.
// - A block starts at the sector asked for and is never read past the drive's end. The
//   first block of a run is 64 KiB or twice the request, whichever is larger; each next
//   block of the same run is twice the last, up to 1 MiB. So a short run costs little
//   more than its own sectors, and a long one is read in 1 MiB requests.
// - A run of reads smaller than a page is a scan (the gap after the MBR, sector by
//   sector): such scans stop where a partition starts, which tables put on a 1 MiB
//   boundary. So their blocks end at the next 1 MiB boundary of the drive, and the block
//   after it is again the first of a run: a scan that stops there reads at most 64 KiB
//   past its end instead of up to 1 MiB.
// - Any write (by this drive object or any of its copies: the caller counts them), and
//   any read that does not continue the run, drops what was read ahead first: data
//   written is always read back from the drive.
// - When a block cannot be read, the request is read on its own by the caller (its
//   failure is logged as any other, naming the same sectors), and the run reads no block
//   ahead again before the end of the range that failed.
// Not thread-safe: one drive object is used from one thread at a time.
#pragma once
#include <libVantor/Types.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <vrk/Types.h>

namespace vantor {

class SectorReadAhead final {
 public:
  SectorReadAhead(u32 sectorSize, u64 driveSectors);

  // Copies sectors [sector, sector + count) into `out` and answers true when the run of
  // reads lets them be served ahead; false when the caller must read them itself.
  // `writes` is the number of writes made to the drive so far: when it changed since
  // the last read, the run ends there and the block is dropped.
  bool read(vrk::NativeHandle drive, u32 sector, void* out, u32 count, u64 writes);

 private:
  void drop();
  bool holds(u32 sector, u32 count) const {
    return blockCount_ > 0 && sector >= blockFirst_ && u64(sector) + count <= u64(blockFirst_) + blockCount_;
  }

  u32 sectorSize_;
  u64 driveSectors_;
  DiskBufferPointer block_;
  u32 blockFirst_ = 0;
  u32 blockCount_ = 0;
  bool runOpen_ = false;  // the last request was a read of lastCount_ sectors ending at lastEnd_
  u64 lastEnd_ = 0;
  u32 lastCount_ = 0;
  u32 windowBytes_ = 0;    // size of the last block of this run; 0 before the first
  u64 noBlockBefore_ = 0;  // a block read failed: none again below this sector in this run
  u64 writes_ = 0;         // the caller's count of writes when the last read was made
};

}  // namespace vantor

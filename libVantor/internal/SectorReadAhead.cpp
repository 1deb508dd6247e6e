#include <libVantor/internal/SectorReadAhead.h>

#include <algorithm>
#include <cstring>

#include <libVantor/internal/DiskHandleOps.h>

namespace vantor {
namespace {

constexpr u32 FIRST_BLOCK_BYTES = 64 * 1024;
constexpr u32 BLOCK_BYTES = 1024 * 1024;
// Reads smaller than this are a scan, whose blocks end on a boundary of BOUNDARY_BYTES.
constexpr u64 SCAN_READ_BYTES = 4096;
constexpr u64 BOUNDARY_BYTES = 1024 * 1024;

}  // namespace

SectorReadAhead::SectorReadAhead(u32 sectorSize, u64 driveSectors)
    : sectorSize_(sectorSize), driveSectors_(driveSectors), block_(BLOCK_BYTES, DiskBufferPointer::OnFailure::Empty) {}

void SectorReadAhead::drop() {
  blockCount_ = 0;
  runOpen_ = false;
  windowBytes_ = 0;
}

bool SectorReadAhead::read(vrk::NativeHandle drive, u32 sector, void* out, u32 count, u64 writes) {
  if (writes != writes_) drop();
  writes_ = writes;
  const bool next = runOpen_ && lastEnd_ == sector;  // starts where the last read ended
  const bool continuesRun = next && lastCount_ == count;
  if (!next) noBlockBefore_ = 0;  // a failed block is remembered for its own run only
  runOpen_ = true;
  lastEnd_ = u64(sector) + count;
  lastCount_ = count;
  const u64 requestBytes = u64(count) * sectorSize_;
  if (requestBytes == 0 || requestBytes > BLOCK_BYTES / 2) {
    drop();
    return false;
  }
  if (next && holds(sector, count)) {
    std::memcpy(out, block_.get() + std::size_t(sector - blockFirst_) * sectorSize_, requestBytes);
    return true;
  }
  blockCount_ = 0;
  if (!continuesRun || sector < noBlockBefore_ || lastEnd_ > driveSectors_ || !block_) {
    windowBytes_ = 0;
    return false;
  }

  windowBytes_ = windowBytes_ == 0 ? std::max<u32>(FIRST_BLOCK_BYTES, static_cast<u32>(2 * requestBytes))
                                   : std::min(2 * windowBytes_, BLOCK_BYTES);
  u64 blockEnd = std::min<u64>(u64(sector) + windowBytes_ / sectorSize_, driveSectors_);
  bool atBoundary = false;
  if (requestBytes < SCAN_READ_BYTES) {  // so the sector is smaller than the boundary too
    const u64 boundarySectors = BOUNDARY_BYTES / sectorSize_;
    const u64 boundary = (lastEnd_ + boundarySectors - 1) / boundarySectors * boundarySectors;
    if (blockEnd > boundary) {
      blockEnd = boundary;
      atBoundary = true;
    }
  }
  const u32 blockSectors = static_cast<u32>(blockEnd - sector);
  if (atBoundary) windowBytes_ = 0;  // the block after it starts the growth again
  if (blockSectors <= count) return false;  // nothing to read ahead at the drive's end or a boundary
  const u32 bytes = blockSectors * sectorSize_;
  u32 transferred = 0;
  if (!os::seekTo(drive, u64(sector) * sectorSize_) || !os::readOnce(drive, block_.get(), bytes, transferred) ||
      transferred != bytes) {
    noBlockBefore_ = u64(sector) + blockSectors;
    windowBytes_ = 0;
    return false;
  }
  blockFirst_ = sector;
  blockCount_ = blockSectors;
  std::memcpy(out, block_.get(), requestBytes);
  return true;
}

}  // namespace vantor

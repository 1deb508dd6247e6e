#include <libVantor/internal/SectorReadAhead.h>

#include <algorithm>
#include <cstring>

#include <libVantor/internal/DiskHandleOps.h>

namespace vantor {
namespace {

constexpr u32 BLOCK_BYTES = 64 * 1024;

}  // namespace

SectorReadAhead::SectorReadAhead(u32 sectorSize, u64 driveSectors)
    : sectorSize_(sectorSize), driveSectors_(driveSectors), block_(BLOCK_BYTES, DiskBufferPointer::OnFailure::Empty) {}

void SectorReadAhead::drop() {
  blockCount_ = 0;
  runOpen_ = false;
}

bool SectorReadAhead::readSingle(vrk::NativeHandle drive, u32 sector, void* out) {
  const bool continuesRun = runOpen_ && lastSingle_ + 1u == sector && lastSingle_ != 0xFFFFFFFFu;
  runOpen_ = true;
  lastSingle_ = sector;
  if (sectorSize_ == 0 || sectorSize_ > BLOCK_BYTES) return false;
  if (holds(sector)) {
    std::memcpy(out, block_.get() + std::size_t(sector - blockFirst_) * sectorSize_, sectorSize_);
    return true;
  }
  blockCount_ = 0;
  if (!continuesRun || sector < noBlockBefore_ || sector >= driveSectors_) return false;

  const u32 count = static_cast<u32>(std::min<u64>(BLOCK_BYTES / sectorSize_, driveSectors_ - sector));
  if (count < 2 || !block_) return false;
  const u32 bytes = count * sectorSize_;
  u32 transferred = 0;
  if (!os::seekTo(drive, u64(sector) * sectorSize_) || !os::readOnce(drive, block_.get(), bytes, transferred) ||
      transferred != bytes) {
    noBlockBefore_ = u64(sector) + count;
    return false;
  }
  blockFirst_ = sector;
  blockCount_ = count;
  std::memcpy(out, block_.get(), sectorSize_);
  return true;
}

}  // namespace vantor

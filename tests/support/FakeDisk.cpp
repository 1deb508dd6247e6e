#include "support/FakeDisk.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vantor::test {

FakeDisk::FakeDisk(u32 sectorSize, u32 sectorCount, boost::optional<DiskGeometry> geometry)
    : sectorSize_(sectorSize), sectorCount_(sectorCount), geometry_(geometry),
      medium_(std::make_shared<std::vector<u8>>(std::size_t(sectorSize) * sectorCount)) {}

std::vector<FakeDisk::Call> FakeDisk::writes() const {
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.op == Op::Write) out.push_back(c);
  return out;
}

bool FakeDisk::getDiskGeometry(DiskGeometry& g) const {
  if (!geometry_) return false;
  g = *geometry_;
  return true;
}

void FakeDisk::getMountPoints(vrk::Array<vrk::String>& points) const {
  for (const auto& p : mountPoints_) points.append(vrk::String(p));
}

bool FakeDisk::dismountDrive() {
  calls_.push_back({Op::Dismount, 0, 0});
  return dismountResult_;
}

bool FakeDisk::mountDrive() {
  calls_.push_back({Op::Mount, 0, 0});
  return mountResult_;
}

bool FakeDisk::inRange(u32 sector, u32 count) const {
  const bool ok = u64(sector) + count <= sectorCount_;
  if (strict_) {
    EXPECT_TRUE(ok) << "request of " << count << " sectors at " << sector << " reaches past sector " << sectorCount_;
  }
  return ok;
}

bool FakeDisk::impReadSectors(u32 sector, void* buffer, u32 count) const {
  calls_.push_back({Op::Read, sector, count});
  if (gate && !gate(Op::Read, sector, count)) return false;
  if (!inRange(sector, count)) return false;
  std::memcpy(buffer, medium_->data() + std::size_t(sector) * sectorSize_, std::size_t(count) * sectorSize_);
  return true;
}

bool FakeDisk::impWriteSectors(u32 sector, const void* buffer, u32 count) {
  calls_.push_back({Op::Write, sector, count});
  if (gate && !gate(Op::Write, sector, count)) return false;
  if (!inRange(sector, count)) return false;
  std::memcpy(medium_->data() + std::size_t(sector) * sectorSize_, buffer, std::size_t(count) * sectorSize_);
  return true;
}

}  // namespace vantor::test

// tests/fuzz/MemoryDisk.h
// A disk in memory for the fuzz targets: any request inside it succeeds, any other fails.
#pragma once
#include <cstring>
#include <vector>

#include <libVantor/IDisk.h>

namespace vantor::fuzz {

class MemoryDisk final : public IDisk {
 public:
  MemoryDisk(u32 sectorSize, u32 sectors) : sectorSize_(sectorSize), bytes_(std::size_t(sectorSize) * sectors) {}
  MemoryDisk* clone() const override { return new MemoryDisk(*this); }
  std::vector<u8>& bytes() { return bytes_; }
  u64 getSizeBytes() const override { return bytes_.size(); }
  u32 getSizeSectors() const override { return static_cast<u32>(bytes_.size() / sectorSize_); }
  u32 getSectorSize() const override { return sectorSize_; }

 protected:
  bool impReadSectors(u32 sector, void* buffer, u32 count) const override {
    if (!fits(sector, count)) return false;
    std::memcpy(buffer, bytes_.data() + std::size_t(sector) * sectorSize_, std::size_t(count) * sectorSize_);
    return true;
  }
  bool impWriteSectors(u32 sector, const void* buffer, u32 count) override {
    if (!fits(sector, count)) return false;
    std::memcpy(bytes_.data() + std::size_t(sector) * sectorSize_, buffer, std::size_t(count) * sectorSize_);
    return true;
  }

 private:
  bool fits(u32 sector, u32 count) const { return (u64(sector) + count) * sectorSize_ <= bytes_.size(); }
  u32 sectorSize_;
  std::vector<u8> bytes_;
};

}  // namespace vantor::fuzz

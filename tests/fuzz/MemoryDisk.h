// tests/fuzz/MemoryDisk.h
// A disk in memory for the fuzz targets, kept sparse: a sector holds memory only once it
// was laid out or written, every other sector reads as zeros. Requests inside the disk
// succeed, any other fails; a gate can fail chosen transfers and the dismount can be
// refused. It counts what was asked of it so that the targets can check the callers.
//
// Not FakeDisk (tests/support): that one keeps its whole medium in one zeroed block, and
// the fuzzers need disks of a few MiB now and then (a partition past sector 2048, a run
// of more than one 256-sector chunk). Allocating and touching such a block on every
// execution cost more than everything else in the execution together, so that the
// fuzzers slowed to a few hundred executions a second; here a disk costs what lies on it.
#pragma once
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include <libVantor/IDisk.h>

namespace vantor::fuzz {

class MemoryDisk final : public IDisk {
 public:
  using Sectors = std::map<u64, std::vector<u8>>;  // sector number -> its bytes

  MemoryDisk(u32 sectorSize, u32 sectorCount, Sectors sectors = {})
      : sectorSize_(sectorSize), sectorCount_(sectorCount), sectors_(std::move(sectors)) {
    // Nothing lies past the end, and every stored sector is exactly one sector long.
    sectors_.erase(sectors_.lower_bound(sectorCount_), sectors_.end());
    for (auto& s : sectors_) s.second.resize(sectorSize_);
  }
  MemoryDisk* clone() const override { return new MemoryDisk(*this); }

  u64 getSizeBytes() const override { return u64(sectorSize_) * sectorCount_; }
  u32 getSizeSectors() const override { return sectorCount_; }
  u32 getSectorSize() const override { return sectorSize_; }
  bool dismountDrive() override {
    ++dismounts;
    return dismountResult;
  }
  bool mountDrive() override {
    ++mounts;
    return true;
  }

  // The bytes of sector `s`, or null when it reads as zeros.
  const u8* sector(u64 s) const {
    const auto found = sectors_.find(s);
    return found == sectors_.end() ? nullptr : found->second.data();
  }
  const Sectors& sectors() const { return sectors_; }
  u8 byteAt(u64 offset) const {
    const u8* s = sector(offset / sectorSize_);
    return s ? s[offset % sectorSize_] : 0;
  }

  // Sectors [first, first + count) into `out`, uncounted: for checking what a caller did.
  void copyOut(u64 first, u64 count, u8* out) const {
    for (u64 i = 0; i < count; ++i, out += sectorSize_) {
      const u8* s = sector(first + i);
      if (s) {
        std::memcpy(out, s, sectorSize_);
      } else {
        std::memset(out, 0, sectorSize_);
      }
    }
  }

  // Called before each transfer; answering false fails it.
  std::function<bool(bool write, u32 sector, u32 count)> gate;
  bool dismountResult = true;
  mutable u32 reads = 0;  // counted by the const read path too
  u32 writes = 0, dismounts = 0, mounts = 0;
  mutable bool requestPastEnd = false;  // a read or write reached past the last sector

 protected:
  bool impReadSectors(u32 sector, void* buffer, u32 count) const override {
    ++reads;
    if (gate && !gate(false, sector, count)) return false;
    if (!inside(sector, count)) return false;
    u8* out = static_cast<u8*>(buffer);
    for (u32 i = 0; i < count; ++i, out += sectorSize_) {
      const u8* s = this->sector(u64(sector) + i);
      if (s) {
        std::memcpy(out, s, sectorSize_);
      } else {
        std::memset(out, 0, sectorSize_);
      }
    }
    return true;
  }
  bool impWriteSectors(u32 sector, const void* buffer, u32 count) override {
    ++writes;
    if (gate && !gate(true, sector, count)) return false;
    if (!inside(sector, count)) return false;
    const u8* in = static_cast<const u8*>(buffer);
    for (u32 i = 0; i < count; ++i, in += sectorSize_) sectors_[u64(sector) + i].assign(in, in + sectorSize_);
    return true;
  }

 private:
  bool inside(u32 sector, u32 count) const {
    const bool ok = u64(sector) + count <= sectorCount_;
    if (!ok) requestPastEnd = true;
    return ok;
  }

  u32 sectorSize_;
  u32 sectorCount_;
  Sectors sectors_;
};

}  // namespace vantor::fuzz

// tests/support/FakeDisk.h
// An IDisk in memory, for the tests and the fuzz targets: a geometry, a sector size, a
// record of calls, transfers that fail where a gate says, a drive that refuses to
// dismount. The medium is sparse: a sector holds memory once it was put or written,
// every other sector reads as zeros, so that a disk of a few MiB costs what lies on it.
// Copies share the medium. A request that reaches past the last sector answers false
// and is noted; in a test (not a fuzz target) it also fails the test where it happens,
// so that a caller's off-by-one shows, unless setStrict(false).
#pragma once
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <boost/optional.hpp>
#include <libVantor/IDisk.h>
#ifndef VANTOR_FUZZ_TARGET
#include <gtest/gtest.h>
#endif

namespace vantor::test {

class FakeDisk final : public IDisk {
 public:
  enum class Op { Read, Write, Dismount, Mount };
  struct Call {
    Op op;
    u32 sector = 0;
    u32 count = 0;
    friend bool operator==(const Call& a, const Call& b) {
      return a.op == b.op && a.sector == b.sector && a.count == b.count;
    }
  };
  using Sectors = std::map<u64, std::vector<u8>>;  // sector number -> its bytes

  FakeDisk(u32 sectorSize, u32 sectorCount, boost::optional<DiskGeometry> geometry = boost::none)
      : sectorSize_(sectorSize), sectorCount_(sectorCount), geometry_(geometry), medium_(std::make_shared<Sectors>()) {}
  FakeDisk* clone() const override { return new FakeDisk(*this); }

  // The medium, uncounted: for laying out what a caller finds and checking what it did.
  void put(u64 offset, const void* data, u64 n) {
    for (u64 done = 0, step = 0; done < n; done += step) {  // a sector at a time
      const u64 within = (offset + done) % sectorSize_;
      step = std::min<u64>(n - done, sectorSize_ - within);
      std::memcpy(stored((offset + done) / sectorSize_) + within, static_cast<const u8*>(data) + done, step);
    }
  }
  void put(u64 offset, const std::vector<u8>& data) { put(offset, data.data(), data.size()); }
  void fill(u64 offset, u8 value, u64 n) { put(offset, std::vector<u8>(n, value)); }
  void flip(u64 offset) { fill(offset, static_cast<u8>(~byteAt(offset)), 1); }  // every bit of one byte
  // Bytes [offset, offset + n), a sector at a time; into `out` when a caller keeps its buffer.
  const std::vector<u8>& read(u64 offset, u64 n, std::vector<u8>& out) const {
    out.assign(n, 0);
    for (u64 done = 0, step = 0; done < n; done += step) {
      const u64 within = (offset + done) % sectorSize_;
      step = std::min<u64>(n - done, sectorSize_ - within);
      if (const u8* s = sector((offset + done) / sectorSize_)) std::memcpy(&out[done], s + within, step);
    }
    return out;
  }
  std::vector<u8> read(u64 offset, u64 n) const {
    std::vector<u8> out;
    return read(offset, n, out);
  }
  std::vector<u8> image() const { return read(0, getSizeBytes()); }
  u8 byteAt(u64 offset) const {
    const u8* s = sector(offset / sectorSize_);
    return s ? s[offset % sectorSize_] : 0;
  }
  const u8* sector(u64 s) const {  // null: never written, reads as zeros
    const auto found = medium_->find(s);
    return found == medium_->end() ? nullptr : found->second.data();
  }
  const Sectors& sectors() const { return *medium_; }

  const std::vector<Call>& calls() const { return calls_; }
  std::vector<Call> writes() const {
    std::vector<Call> out;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out), [](const Call& c) { return c.op == Op::Write; });
    return out;
  }
  u32 count(Op op) const {
    return static_cast<u32>(std::count_if(calls_.begin(), calls_.end(), [op](const Call& c) { return c.op == op; }));
  }
  void clearCalls() { calls_.clear(); }
  void setStrict(bool on) { strict_ = on; }

  // Called before each transfer; answering false fails it.
  std::function<bool(Op, u32 sector, u32 count)> gate;
  bool dismountResult = true;
  std::function<bool()> remount = [] { return true; };  // answers each mount; may throw
  mutable bool requestPastEnd = false;

  u64 getSizeBytes() const override { return u64(sectorSize_) * sectorCount_; }
  u32 getSizeSectors() const override { return sectorCount_; }
  u32 getSectorSize() const override { return sectorSize_; }
  bool getDiskGeometry(DiskGeometry& g) const override {
    if (geometry_) g = *geometry_;
    return bool(geometry_);
  }
  bool dismountDrive() override { return calls_.push_back({Op::Dismount}), dismountResult; }
  bool mountDrive() override { return calls_.push_back({Op::Mount}), remount(); }

 protected:
  bool impReadSectors(u32 first, void* buffer, u32 n) const override {
    if (!transfer(Op::Read, first, n)) return false;
    u8* out = static_cast<u8*>(buffer);
    for (u32 i = 0; i < n; ++i, out += sectorSize_) {
      const u8* s = sector(u64(first) + i);
      s ? std::memcpy(out, s, sectorSize_) : std::memset(out, 0, sectorSize_);
    }
    return true;
  }
  bool impWriteSectors(u32 first, const void* buffer, u32 n) override {
    if (!transfer(Op::Write, first, n)) return false;
    const u8* in = static_cast<const u8*>(buffer);
    for (u32 i = 0; i < n; ++i, in += sectorSize_) std::memcpy(stored(u64(first) + i), in, sectorSize_);
    return true;
  }

 private:
  bool transfer(Op op, u32 first, u32 n) const {
    calls_.push_back({op, first, n});
    if (gate && !gate(op, first, n)) return false;
    if (u64(first) + n <= sectorCount_) return true;
    requestPastEnd = true;
#ifndef VANTOR_FUZZ_TARGET
    if (strict_) ADD_FAILURE() << "request of " << n << " sectors at " << first << " reaches past sector " << sectorCount_;
#endif
    return false;
  }
  u8* stored(u64 s) {
    std::vector<u8>& bytes = (*medium_)[s];
    bytes.resize(sectorSize_);
    return bytes.data();
  }

  u32 sectorSize_;
  u32 sectorCount_;
  boost::optional<DiskGeometry> geometry_;
  std::shared_ptr<Sectors> medium_;
  mutable std::vector<Call> calls_;
  bool strict_ = true;
};

// Sets the `width`-byte little-endian field at byte `offset` of `disk` to `value`.
inline void putLE(FakeDisk& disk, u64 offset, u64 value, u32 width) {
  for (u32 i = 0; i < width; ++i) disk.fill(offset + i, u8(value >> 8 * i), 1);
}

// A partition table entry at byte `offset` of `disk` (its CHS bytes zero).
inline void putEntry(FakeDisk& disk, u64 offset, u8 boot, u8 type, u32 start, u32 count) {
  const u8 bytes[16] = {boot, 0, 0, 0, type};
  disk.put(offset, bytes, 16);
  putLE(disk, offset + 8, start, 4), putLE(disk, offset + 12, count, 4);
}

// A disk of `sectors` 512-byte sectors of random bytes from `seed`. With `emptyTable` its
// MBR holds no partitions (and 55AAh with `bootSignature`), so that a capture maps sector
// 0 and the 2048 sectors after it; without, nothing recognises it.
inline std::shared_ptr<FakeDisk> randomDisk(u32 sectors, u32 seed, bool emptyTable = true, bool bootSignature = false) {
  auto disk = std::make_shared<FakeDisk>(512, sectors);
  std::mt19937 random(seed);
  std::vector<u8> bytes(u64(sectors) * 512);
  for (auto& b : bytes) b = static_cast<u8>(random());
  disk->put(0, bytes);
  if (emptyTable) disk->fill(446, 0, 64);
  if (bootSignature) disk->put(510, std::vector<u8>{0x55, 0xAA});
  return disk;
}

}  // namespace vantor::test

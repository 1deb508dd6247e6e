// tests/fuzz/FuzzInput.h
// What the structure-aware fuzz targets share: a reader that turns the fuzzer's bytes
// into choices, front to back, and the check that stops a run.
//
// The reader never fails: past the end of the input every choice reads as 0, so a short
// input still builds a whole (and, by each target's convention, valid) structure, and
// inserting or erasing bytes shifts later choices instead of throwing the input away.
// Each target breaks a few bytes of what it built last, so that the fuzzer reaches the
// code behind every check first and then learns to fail each check on its own.
// The targets that lay out a disk lay it out on the tests' FakeDisk, which comes with
// this header (as FakeDisk and Op in vantor::fuzz), and so does the library's exception.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <libVantor/Types.h>
#include <libVantor/VantorException.h>
#include <vrk/Log.h>

#include "support/FakeDisk.h"

namespace vantor::fuzz {

using test::FakeDisk;
using test::putEntry;
using test::putLE;
using Op = FakeDisk::Op;

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  u8 byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  u16 u16le() { return static_cast<u16>(byte() | (byte() << 8)); }
  u32 u32le() {
    const u32 lo = u16le();
    return lo | (u32(u16le()) << 16);
  }
  // A value in [0, n); 0 when n is 0. One byte for n up to 256, four above.
  u32 below(u64 n) {
    if (n == 0) return 0;
    return static_cast<u32>((n <= 256 ? byte() : u32le()) % n);
  }
  // The next `n` bytes into `out`, as n calls of byte() would give them.
  void copy(u8* out, std::size_t n) {
    const std::size_t have = pos_ < size_ ? std::min(n, size_ - pos_) : 0;
    if (have != 0) std::memcpy(out, data_ + pos_, have);
    if (n != have) std::memset(out + have, 0, n - have);
    pos_ += have;
  }
  // The unread rest of the input, consumed.
  const uint8_t* rest(std::size_t& size) {
    size = size_ - pos_;
    const uint8_t* p = data_ + pos_;
    pos_ = size_;
    return p;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The sector sizes that bits 0-2 of a target's options byte choose: 512 bytes half the time.
inline constexpr u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};

// The reader over one run's input, with the library's log silenced: how every run starts.
inline FuzzInput start(const uint8_t* data, std::size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  return FuzzInput(data, size);
}

// Breaks up to three bytes of the sectors laid out on a disk, as the input says: the
// damage no builder foresees. Returns the number broken.
inline u32 corruptSectors(FuzzInput& in, FakeDisk& disk) {
  const u32 count = disk.sectors().empty() ? 0 : in.below(4);
  for (u32 n = 0; n < count; ++n) {
    const u64 s = std::next(disk.sectors().begin(), in.below(disk.sectors().size()))->first;
    const u8 value = in.byte();
    disk.put(s * disk.getSectorSize() + in.below(disk.getSectorSize()), &value, 1);
  }
  return count;
}

// On the functions that check results: their branches say nothing about the input, so
// the fuzzer is not to learn from them (nor pay for their instrumentation in byte loops).
#define FUZZ_UNTRACKED __attribute__((no_sanitize("coverage")))

// A broken promise of the library: print what went wrong and stop, so that libFuzzer
// keeps the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define FUZZ_STR2(x) #x
#define FUZZ_STR(x) FUZZ_STR2(x)
#define FUZZ_CHECK(cond) \
  ((cond) ? void(0) : ::vantor::fuzz::fail(#cond " (" __FILE__ ":" FUZZ_STR(__LINE__) ")"))

// What every volume mapper promises of a map it answers (a SectorMap): runs in order,
// apart, not empty, the first at `start`, all before `end`; and no more than `units`
// clusters or blocks counted `used`.
template <class Map>
FUZZ_UNTRACKED void checkMap(const Map& map, u64 start, u64 end, u64 used, u64 units) {
  FUZZ_CHECK(!map.empty() && map[0].firstSector == start);
  for (u32 i = 0; i < map.size(); ++i) {
    FUZZ_CHECK(map[i].numSectors > 0 && map[i].lastSector < end);
    FUZZ_CHECK(i == 0 || map[i].firstSector > map[i - 1].lastSector + 1);
  }
  FUZZ_CHECK(used <= units);
}

}  // namespace vantor::fuzz

// tests/fuzz/FuzzInput.h
// What the structure-aware fuzz targets share: a reader that turns the fuzzer's bytes
// into choices, front to back, and a record of the fields a target laid out so that a
// few more bytes can pick some of them to break.
//
// The reader never fails: past the end of the input every choice reads as 0, so a short
// input still builds a whole (and, by each target's convention, valid) structure, and
// inserting or erasing bytes shifts later choices instead of throwing the input away.
// The corruptions are applied after the valid structure is complete, so that the
// fuzzer reaches the code behind every check first and then learns to fail each check
// on its own.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include <libVantor/Types.h>

namespace vantor::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  u8 byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  u16 u16le() { return static_cast<u16>(byte() | (byte() << 8)); }
  u32 u32le() {
    const u32 lo = u16le();
    return lo | (u32(u16le()) << 16);
  }
  bool flag() { return byte() & 1; }
  // A value in [0, n); 0 when n is 0. One byte for n up to 256, two above.
  u32 below(u32 n) {
    if (n == 0) return 0;
    return (n <= 256 ? byte() : u16le()) % n;
  }
  template <class T, std::size_t N>
  T pick(const T (&choices)[N]) {
    return choices[below(N)];
  }
  std::size_t remaining() const { return size_ - pos_; }
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

// Bytes laid out by a target (a disk or a file), kept in blocks so that a structure far
// from the start costs no more than one near it, with every meaningful field remembered
// (offset and width) for the corruption step. Bytes never laid out read as zero.
class Layout {
 public:
  using Blocks = std::map<u64, std::vector<u8>>;  // block number -> its bytes

  // Nothing is laid out at or past `limit` bytes (the end of the disk, or the largest
  // file): writes there are dropped. `block` is the disk's sector size, or any size for
  // a file.
  Layout(u64 limit, u32 block) : limit_(limit), block_(block) {}

  // One past the last byte laid out; a file is this long.
  u64 size() const { return end_; }
  // Cuts the bytes at `n`, or lets zeros follow up to `n`.
  void setSize(u64 n) {
    end_ = std::min(n, limit_);
    blocks_.erase(blocks_.lower_bound((end_ + block_ - 1) / block_), blocks_.end());
    if (end_ % block_) {
      const auto last = blocks_.find(end_ / block_);
      if (last != blocks_.end()) std::fill(last->second.begin() + end_ % block_, last->second.end(), 0);
    }
  }
  const Blocks& blocks() const { return blocks_; }
  Blocks takeBlocks() { return std::move(blocks_); }
  // Puts the blocks that lie inside `disk` on it (the block is its sector size).
  template <class Disk>
  static void layOut(const Blocks& blocks, Disk& disk) {
    for (const auto& b : blocks)
      if (b.first < disk.getSizeSectors()) disk.put(b.first * disk.getSectorSize(), b.second.data(), b.second.size());
  }
  std::size_t fieldCount() const { return fields_.size(); }
  u8 byteAt(u64 offset) const {
    const auto found = blocks_.find(offset / block_);
    return found == blocks_.end() || offset >= end_ ? 0 : found->second[offset % block_];
  }

  // `n` bytes from `offset` into `out`, zeros where nothing was laid out.
  void read(u64 offset, u64 n, u8* out) const {
    while (n > 0) {
      const u64 len = std::min<u64>(n, block_ - offset % block_);
      const auto found = blocks_.find(offset / block_);
      if (found == blocks_.end()) {
        std::memset(out, 0, len);
      } else {
        std::memcpy(out, found->second.data() + offset % block_, len);
      }
      offset += len, out += len, n -= len;
    }
  }

  bool fits(u64 offset, u64 width) const { return offset <= limit_ && width <= limit_ - offset; }
  void put8(u64 offset, u8 v) { putLE(offset, v, 1); }
  void put16(u64 offset, u16 v) { putLE(offset, v, 2); }
  void put32(u64 offset, u32 v) { putLE(offset, v, 4); }
  void put64(u64 offset, u64 v) { putLE(offset, v, 8); }
  void putText(u64 offset, const char* text, std::size_t n) {
    if (!fits(offset, n)) return;
    for (std::size_t i = 0; i < n; ++i) ref(offset + i) = static_cast<u8>(text[i]);
    note(offset, n);
  }
  // Numbers that are data rather than fields (the input chose them already, one by one),
  // never picked for corruption.
  void putData16(u64 offset, u16 v) {
    if (fits(offset, 2)) ref(offset) = static_cast<u8>(v), ref(offset + 1) = static_cast<u8>(v >> 8);
  }
  void putData32(u64 offset, u32 v) {
    putData16(offset, static_cast<u16>(v));
    putData16(offset + 2, static_cast<u16>(v >> 16));
  }
  // Raw bytes that are data rather than fields, never picked for corruption; cut at the
  // limit. fill writes a pattern that starts with `seed`.
  void fill(u64 offset, u64 n, u8 seed) {
    u64 i = 0;
    forEachPiece(offset, n, [&](u8* p, u64 len) {
      for (u64 k = 0; k < len; ++k, ++i) p[k] = static_cast<u8>(seed + i * 131 + (i >> 8));
    });
  }
  void copy(u64 offset, const void* data, u64 n) {
    const u8* from = static_cast<const u8*>(data);
    forEachPiece(offset, n, [&](u8* p, u64 len) {
      std::memcpy(p, from, len);
      from += len;
    });
  }

  // Reads a count of corruptions (0-3) and for each a field and a way to break it:
  // zero, all ones, one more, one less, one bit flipped, or a value from the input.
  // Now and then a corruption lands on any byte laid out instead, for damage that no
  // field describes. Returns the number applied.
  u32 corrupt(FuzzInput& in) {
    const u32 count = in.below(4);
    for (u32 i = 0; i < count; ++i) {
      const u8 how = in.byte();
      if (fields_.empty()) break;
      if (how >= 0xF0 && !blocks_.empty()) {  // any byte laid out
        auto block = blocks_.begin();
        std::advance(block, in.below(static_cast<u32>(blocks_.size())));
        block->second[in.below(block_)] = in.byte();
        continue;
      }
      const Field f = fields_[in.below(static_cast<u32>(fields_.size()))];
      if (f.width > 8) {  // a text: one of its bytes
        ref(f.offset + in.below(static_cast<u32>(f.width))) = in.byte();
        continue;
      }
      u64 v = 0;
      for (std::size_t b = 0; b < f.width; ++b) v |= u64(ref(f.offset + b)) << (8 * b);
      switch (how % 7) {
        case 0: v = 0; break;
        case 1: v = ~u64(0); break;
        case 2: v += 1; break;
        case 3: v -= 1; break;
        case 4: v ^= u64(1) << (in.byte() % (8 * f.width)); break;
        case 5: v = in.u32le(); break;
        default: v = u64(in.u32le()) << 32 | in.u32le(); break;
      }
      for (std::size_t b = 0; b < f.width; ++b) ref(f.offset + b) = static_cast<u8>(v >> (8 * b));
    }
    return count;
  }

 private:
  struct Field {
    u64 offset;
    std::size_t width;
  };

  u8& ref(u64 offset) {
    std::vector<u8>& block = blocks_[offset / block_];
    if (block.empty()) block.resize(block_);
    end_ = std::max(end_, offset + 1);
    return block[offset % block_];
  }
  void putLE(u64 offset, u64 v, std::size_t width) {
    if (!fits(offset, width)) return;
    for (std::size_t b = 0; b < width; ++b) ref(offset + b) = static_cast<u8>(v >> (8 * b));
    note(offset, width);
  }
  template <class F>
  void forEachPiece(u64 offset, u64 n, F&& f) {
    if (offset >= limit_) return;
    n = std::min(n, limit_ - offset);
    while (n > 0) {
      const u64 len = std::min<u64>(n, block_ - offset % block_);
      f(&ref(offset) , len);
      ref(offset + len - 1);  // the piece's end counts for size()
      offset += len;
      n -= len;
    }
  }
  void note(u64 offset, std::size_t width) { fields_.push_back({offset, width}); }

  u64 limit_;
  u32 block_;
  u64 end_ = 0;
  Blocks blocks_;
  std::vector<Field> fields_;
};

// On the functions that check results: their branches say nothing about the input, so
// the fuzzer is not to learn from them (nor pay for their instrumentation in byte loops).
#define FUZZ_UNTRACKED __attribute__((no_sanitize("coverage")))

// A broken promise of the library: print what went wrong and stop, so that libFuzzer
// keeps the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) ::vantor::fuzz::fail(#cond " (" __FILE__ ":" FUZZ_LINE ")"); \
  } while (0)
#define FUZZ_STR2(x) #x
#define FUZZ_STR(x) FUZZ_STR2(x)
#define FUZZ_LINE FUZZ_STR(__LINE__)

}  // namespace vantor::fuzz

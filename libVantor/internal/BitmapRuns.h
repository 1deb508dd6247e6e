// libVantor/internal/BitmapRuns.h
// Turns an allocation bitmap (bit i of byte j stands for unit 8j + i, as exFAT, NTFS and
// ext store theirs) into runs of set bits, for the volume mappers. Bytes are fed in
// order, in as many pieces as the reads give; each run of set bits below `limit` is
// passed to `emit(first, end)` (end exclusive) in ascending order; bits from `limit` on
// are ignored. Words of all zeros or all ones cost one test each. No allocation, no
// state beyond the run being built.
#pragma once
#include <algorithm>

#include <libVantor/LittleEndian.h>
#include <libVantor/Types.h>

namespace vantor {

template <class Emit>
class BitmapRuns {
 public:
  BitmapRuns(u64 limit, Emit& emit) : limit_(limit), emit_(emit) {}

  void feed(const u8* p, u64 n) {
    u64 i = 0;
    for (; i + 8 <= n && next_ < limit_; i += 8) {
      const u64 w = readLE64(p + i);
      if (w == 0) {
        endRun(next_);
      } else if (w == ~u64(0)) {
        startRun(next_);
      } else {
        for (u32 bit = 0; bit < 64;) {  // from one change of state to the next
          const u64 rest = (inRun_ ? ~w : w) >> bit;
          if (rest == 0) break;
          bit += static_cast<u32>(__builtin_ctzll(rest));
          inRun_ ? endRun(next_ + bit) : startRun(next_ + bit);
        }
      }
      next_ += 64;
    }
    for (; i < n && next_ < limit_; ++i, next_ += 8) {
      for (u32 bit = 0; bit < 8; ++bit) (p[i] >> bit) & 1 ? startRun(next_ + bit) : endRun(next_ + bit);
    }
  }
  // `n` bytes that read as zeros.
  void skip(u64 n) {
    endRun(next_);
    next_ += 8 * std::min(n, limit_ / 8 + 1);
  }
  void finish() { endRun(next_); }

 private:
  void startRun(u64 at) {
    if (!inRun_) start_ = at;
    inRun_ = true;
  }
  void endRun(u64 at) {
    if (!inRun_) return;
    inRun_ = false;
    at = std::min(at, limit_);  // bits from the limit on are ignored
    if (start_ < at) emit_(start_, at);
  }

  u64 limit_;
  Emit& emit_;
  u64 next_ = 0;  // the unit of the next bit fed
  u64 start_ = 0;
  bool inRun_ = false;
};

}  // namespace vantor

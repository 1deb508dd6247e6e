// basekit/vrk/Stopwatch.h
// Measures elapsed wall time on a monotonic clock from construction or the last reset.
#pragma once
#include <chrono>

namespace vrk {

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  void reset() { start_ = std::chrono::steady_clock::now(); }
  // Seconds since the last reset.
  double getElapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vrk

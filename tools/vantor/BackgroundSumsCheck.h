// tools/vantor/BackgroundSumsCheck.h
// Holds a whole image against its checksums (ImageSums::check) on a thread of its own,
// so that the check can read the image while the image is being restored. wait() gives
// the result, or rethrows what the check threw (an image the library refuses);
// finished() tells, without waiting, whether wait() would block. An object destroyed
// before its result was taken stops the check early and joins its thread, so nothing
// outlives the command. Used from the thread that made it.
#pragma once
#include <atomic>
#include <exception>
#include <string>
#include <thread>

#include "ImageSums.h"

namespace vantor::cli {

class BackgroundSumsCheck {
 public:
  explicit BackgroundSumsCheck(const std::string& image) : image_(image) {
    thread_ = std::thread([this] {
      try {
        result_ = ImageSums::check(image_, true, &stop_);
      } catch (...) {
        failure_ = std::current_exception();
      }
      finished_ = true;
    });
  }
  ~BackgroundSumsCheck() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  BackgroundSumsCheck(const BackgroundSumsCheck&) = delete;
  BackgroundSumsCheck& operator=(const BackgroundSumsCheck&) = delete;

  // True once the check has ended and wait() would not block.
  bool finished() const { return finished_; }
  ImageSums::Result wait() {
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    return result_;
  }

 private:
  std::string image_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  ImageSums::Result result_;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything it uses is in place
};

}  // namespace vantor::cli

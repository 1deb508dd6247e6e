// tests/support/LogCapture.h
// The texts one logger writes while the object lives. One capture at a time; records may
// come from any thread.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include <vrk/Log.h>

namespace vantor::test {

class LogCapture {
 public:
  explicit LogCapture(std::string logger) : logger_(std::move(logger)) {
    vrk::LogFactory::setSink([this](const vrk::String& logger, int, const vrk::String& text) {
      if (logger.str() != logger_) return;
      std::lock_guard<std::mutex> hold(mutex_);
      records_.push_back(text.str());
    });
  }
  ~LogCapture() { vrk::LogFactory::setSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> records() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return records_;
  }

 private:
  std::string logger_;
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
};

}  // namespace vantor::test

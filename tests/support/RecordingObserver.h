// tests/support/RecordingObserver.h
// An observer that records every notification as a line ("started", "progress 25",
// "aborted", "finished", "error 4 <message>") into a log shared with the test, which
// outlives the observer (the engine deletes the observer); the log also notes the
// observer's deletion.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libVantor/IDiskImagingObserver.h>

namespace vantor::test {

struct EventLog {
  std::mutex mutex;
  std::vector<std::string> events;

  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(mutex);
    events.push_back(event);
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> guard(mutex);
    return events;
  }
  // Progress values in order.
  std::vector<int> progress() {
    std::vector<int> out;
    for (const auto& e : snapshot())
      if (e.rfind("progress ", 0) == 0) out.push_back(std::stoi(e.substr(9)));
    return out;
  }
};

class RecordingObserver : public IDiskImagingObserver {
 public:
  explicit RecordingObserver(std::shared_ptr<EventLog> log, std::string name = "")
      : log_(std::move(log)), prefix_(name.empty() ? "" : name + ": ") {}
  ~RecordingObserver() override { log_->add(prefix_ + "deleted"); }

  void started() override { log_->add(prefix_ + "started"); }
  void progressUpdate(unsigned char p) override { log_->add(prefix_ + "progress " + std::to_string(p)); }
  void abortedByUser() override { log_->add(prefix_ + "aborted"); }
  void finishedSuccessfully() override { log_->add(prefix_ + "finished"); }
  void finishedWithError(VantorErrorCodes code, const vrk::String& message) override {
    log_->add(prefix_ + "error " + std::to_string(code) + " " + message.str());
  }

 private:
  std::shared_ptr<EventLog> log_;
  std::string prefix_;
};

// Holds a worker inside a disk transfer until the test opens it.
class Gate {
 public:
  // Blocks the caller until open() (answers true), or times out (answers false).
  bool pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return open_; });
  }
  void waitUntilSomebodyWaits() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return waiting_ > 0; });
  }
  void open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace vantor::test

// tests/support/RecordingObserver.h
// An observer that records every notification as a line ("started", "progress 25",
// "aborted", "finished", "error 4 <message>") into a log shared with the test, which
// outlives the observer (the engine deletes the observer); the log also notes the
// observer's deletion.
#pragma once
#include <chrono>
#include <future>
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

// Holds a worker inside a disk transfer until the test opens it (once).
class Gate {
 public:
  // Blocks the caller until open() (answers true), or times out (answers false).
  bool pass() {
    std::call_once(reached_, [this] { somebodyWaits_.set_value(); });
    return opened_.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  }
  void waitUntilSomebodyWaits() { waiting_.wait_for(std::chrono::seconds(30)); }
  void open() { open_.set_value(); }

 private:
  std::promise<void> somebodyWaits_, open_;
  std::shared_future<void> waiting_ = somebodyWaits_.get_future().share(), opened_ = open_.get_future().share();
  std::once_flag reached_;
};

}  // namespace vantor::test

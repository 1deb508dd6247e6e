// tests/support/Imaging.h
// One imaging operation or one writing service run to its end, answered as a line a test
// can compare: the closing notification ("finished", "aborted", "error 4 <message>"), or
// "error CODE MESSAGE" of what a call on the caller's thread threw. And a listed drive as a
// line. Below them: an observer that records every notification as a line ("started",
// "progress 25", "aborted", "finished", "error 4 <message>") into a log shared with the
// test, which outlives the observer (the engine deletes the observer; the log notes it).
// Also the check that a call throws exactly a given VantorException, and the capture of
// what a logger writes.
#pragma once
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskImager.h>
#include <libVantor/DriveListing.h>
#include <libVantor/IDiskImagingObserver.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <vrk/Log.h>

#include "support/FakeDisk.h"

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

// "finished" when `call` returns, else "error CODE MESSAGE" of what it threw.
inline std::string outcome(const std::function<void()>& call) {
  try {
    call();
    return "finished";
  } catch (const VantorException& e) {
    return "error " + std::to_string(e.getErrorCode()) + " " + e.getMessage().str();
  }
}

// An imager over `disk` (`disk` when it is a fake one) that records its notifications. A
// fake drive of `sectors` sectors of 512 bytes has old data (0xEE) in sector 0, which a
// refused or failed restore must leave.
struct FakeTarget {
  explicit FakeTarget(std::shared_ptr<IDisk> d)
      : disk(std::dynamic_pointer_cast<FakeDisk>(d)), device("fake", std::move(d)), imager(device) {
    imager.registerObserver(new RecordingObserver(log));
  }
  explicit FakeTarget(u32 sectors) : FakeTarget(std::make_shared<FakeDisk>(512, sectors)) { disk->fill(0, 0xEE, 512); }
  std::string last() const { return log->snapshot().empty() ? "" : log->snapshot().back(); }
  // Runs `start` to its end: the closing notification, or "error CODE MESSAGE" of what
  // the start threw.
  std::string run(const std::function<bool(DiskImager&)>& start) {
    const std::string thrown = outcome([&] { EXPECT_TRUE(start(imager)); });
    return thrown == "finished" ? last() : thrown;
  }
  // Each operation run to its end: its closing notification.
  std::string zero(boost::optional<std::vector<std::pair<u64, u64>>> ranges = boost::none) {
    EXPECT_TRUE(imager.startZeroingDisk(true, std::move(ranges)));
    return last();
  }
  std::string capture(const std::string& image, bool wholeDrive = false) {
    EXPECT_TRUE(imager.startReadingImage(image, true, wholeDrive));
    return last();
  }
  std::string restore(const std::string& image, std::function<void(std::shared_ptr<IDisk>)> then = nullptr,
                      bool verify = true) {
    EXPECT_TRUE(imager.startWritingImage(image, true, false, verify, std::move(then)));
    return last();
  }
  std::shared_ptr<FakeDisk> disk;
  DiskDevice device;
  DiskImager imager;
  std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

// Starts one operation of a new imager over `disk` and answers its closing notification,
// or "error CODE MESSAGE" of what the start threw.
inline std::string runImaging(std::shared_ptr<IDisk> disk, const std::function<bool(DiskImager&)>& start) {
  return FakeTarget(std::move(disk)).run(start);
}

// EXPECT_TRUE(throwsVantor([&] { ... }, ERR_X, "message")): the call throws a
// VantorException with exactly that code and message; the failure says what it got.
template <class F>
::testing::AssertionResult throwsVantor(F&& f, VantorErrorCodes code, const std::string& message) {
  const std::string got = outcome(f);
  if (got == "error " + std::to_string(code) + " " + message) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (got == "finished" ? "threw nothing" : "threw: " + got);
}

// The texts one logger writes while the object lives. One capture at a time; records may
// come from any thread.
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

using WritingService = std::function<std::string(std::shared_ptr<IDisk>)>;

// Every service that writes a drive, in this order: the restore of `image`, the zeroing of
// sector 1, the MBR write of the drive's own table and the boot key's reset.
inline std::vector<WritingService> writingServices(const std::string& image) {
  return {[image](std::shared_ptr<IDisk> d) {
            return runImaging(d, [&](DiskImager& i) { return i.startWritingImage(image, true, false, false, nullptr); });
          },
          [](std::shared_ptr<IDisk> d) {
            return runImaging(d, [](DiskImager& i) { return i.startZeroingDisk(true, std::vector<std::pair<u64, u64>>{{1, 1}}); });
          },
          [](std::shared_ptr<IDisk> d) {
            return outcome([&] { PartitionTools::writePartitionsToMBR(*d, PartitionTools::getPartitions(*d)); });
          },
          [](std::shared_ptr<IDisk> d) {
            DiskDevice device("drive", d);
            return outcome([&] { OxbowKeyFormatter(device).resetKey(); });
          }};
}

// A listed drive as "kind/media size/sectorSize rw|ro", ", does not open" when it does not,
// its mount points and " |", then each volume as " locator fileSystem 'label' [letters]
// uuid|-", "@firstByte+byteCount" or "?" when its extent is unknown, its mount points, ";".
inline std::string describe(const LISTED_DRIVE& d) {
  std::string t = std::to_string(d.kind) + "/" + std::to_string(d.media) + " " + std::to_string(d.sizeBytes) + "/" +
                  std::to_string(d.sectorSize) + (d.readOnly ? " ro" : " rw") +
                  (d.openError.empty() ? "" : ", does not open");
  for (const std::string& point : d.mountPoints) t += " " + point;
  t += " |";
  for (const LISTED_VOLUME& v : d.volumes) {
    t += " " + v.locator + " " + v.fileSystem + " '" + v.label + "' [";
    for (const std::string& letter : v.driveLetters) t += letter;
    t += (v.uuid.empty() ? "] - " : "] uuid ") +
         (v.extentKnown ? "@" + std::to_string(v.firstByte) + "+" + std::to_string(v.byteCount) : "?");
    for (const std::string& point : v.mountPoints) t += " " + point;
    t += ";";
  }
  return t;
}

}  // namespace vantor::test

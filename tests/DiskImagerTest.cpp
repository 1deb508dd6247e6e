// The imaging engine: start protocol, notifications, abort, stored errors, and zeroing.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <libVantor/CLImagingObserver.h>
#include <libVantor/DiskImager.h>
#include <vrk/Log.h>

#include "support/FakeDisk.h"
#include "support/RecordingObserver.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;
using Ranges = std::vector<std::pair<u64, u64>>;

struct Rig {
  explicit Rig(u32 sectors, u32 sectorSize = 512)
      : disk(std::make_shared<FakeDisk>(sectorSize, sectors)), device("fake", disk), imager(device) {
    imager.registerObserver(new RecordingObserver(log));
  }
  std::shared_ptr<FakeDisk> disk;
  DiskDevice device;
  DiskImager imager;
  std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

std::vector<FakeDisk::Call> writesOf(const FakeDisk& disk) { return disk.writes(); }

TEST(DiskZeroing, WholeDriveInChunksWithSpecifiedProgress) {
  Rig rig(1000);
  std::fill(rig.disk->bytes().begin(), rig.disk->bytes().end(), 0xAB);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  const std::vector<FakeDisk::Call> expected = {
      {Op::Dismount, 0, 0}, {Op::Write, 0, 256}, {Op::Write, 256, 256}, {Op::Write, 512, 256},
      {Op::Write, 768, 232}, {Op::Mount, 0, 0}};
  EXPECT_EQ(rig.disk->calls(), expected);
  // The body reports 0, 25 and 51; 0 is the stored percentage already, so observers see two.
  EXPECT_EQ(rig.log->progress(), (std::vector<int>{25, 51}));
  EXPECT_EQ(rig.log->snapshot().back(), "finished");
  EXPECT_TRUE(std::all_of(rig.disk->bytes().begin(), rig.disk->bytes().end(), [](u8 b) { return b == 0; }));
  EXPECT_TRUE(rig.imager.done());
}

TEST(DiskZeroing, RangesReportOverallPercentages) {
  Rig rig(4096);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 1023}, {2048, 3071}}));
  EXPECT_EQ(rig.log->progress(), (std::vector<int>{12, 25, 50, 62, 75}));  // 0 is the stored value already
}

TEST(DiskZeroing, SmallRangesAreOneWriteWithoutProgress) {
  struct Case {
    Ranges ranges;
    std::vector<FakeDisk::Call> writes;
  };
  const Case cases[] = {
      {{{10, 265}}, {{Op::Write, 10, 256}}},                          // exactly 256 sectors
      {{{7, 7}}, {{Op::Write, 7, 1}}},                                // one sector
      {{{5, 4}}, {}},                                                 // inverted: nothing
      {{{0, 0}, {0, 0}}, {{Op::Write, 0, 1}, {Op::Write, 0, 1}}},     // overlapping pairs: twice
      {{{999, 999}, {0, 1}}, {{Op::Write, 999, 1}, {Op::Write, 0, 2}}},  // in the order given
  };
  for (const Case& c : cases) {
    Rig rig(1000);
    ASSERT_TRUE(rig.imager.startZeroingDisk(true, c.ranges));
    EXPECT_EQ(writesOf(*rig.disk), c.writes);
    EXPECT_TRUE(rig.log->progress().empty());
    EXPECT_EQ(rig.log->snapshot().back(), "finished");
  }
}

TEST(DiskZeroing, DriveWithoutSectorsRefusesEveryRange) {
  Rig rig(0);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{5, 5}}));
  EXPECT_EQ(rig.log->snapshot().back(), "error 1 LBA range beyond end of drive.");
  EXPECT_TRUE(writesOf(*rig.disk).empty());
  Rig whole(0);
  ASSERT_TRUE(whole.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(whole.log->snapshot().back(), "finished");
  EXPECT_TRUE(writesOf(*whole.disk).empty());
}

TEST(DiskZeroing, InvertedPairsCountAsNothingInTheProgress) {
  Rig rig(2048);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 1023}, {1024, 0}}));
  EXPECT_EQ(rig.log->progress(), (std::vector<int>{25, 50}));
  EXPECT_EQ(rig.log->snapshot().back(), "finished");
}

TEST(DiskZeroing, EmptyRangeListStillDismountsAndMounts) {
  Rig rig(100);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{}));
  EXPECT_EQ(rig.disk->calls(), (std::vector<FakeDisk::Call>{{Op::Dismount, 0, 0}, {Op::Mount, 0, 0}}));
}

TEST(DiskZeroing, RangeChecksFailWithTheirMessages) {
  struct Case {
    Ranges ranges;
    std::string error;
    std::vector<FakeDisk::Call> writes;
  };
  const Case cases[] = {
      {{{0, 1000}}, "error 1 LBA range beyond end of drive.", {}},
      {{{1000, 1000}}, "error 1 LBA range beyond end of drive.", {}},
      {{{0, 1ull << 32}}, "error 1 This library can only work with sector offsets that are 32-bit numbers.", {}},
      {{{1ull << 32, 5000}}, "error 1 This library can only work with sector offsets that are 32-bit numbers.", {}},
      // Checked per range just before it is zeroed: the first two are zeroed already.
      {{{0, 0}, {1, 1}, {0, 1000}}, "error 1 LBA range beyond end of drive.", {{Op::Write, 0, 1}, {Op::Write, 1, 1}}},
  };
  for (const Case& c : cases) {
    Rig rig(1000);
    ASSERT_TRUE(rig.imager.startZeroingDisk(true, c.ranges));
    EXPECT_EQ(rig.log->snapshot().back(), c.error);
    EXPECT_EQ(writesOf(*rig.disk), c.writes);
    EXPECT_EQ(rig.disk->calls().back().op, c.writes.empty() ? Op::Dismount : Op::Write) << "no remount after a failure";
  }
  Rig last(1000);
  ASSERT_TRUE(last.imager.startZeroingDisk(true, Ranges{{0, 999}}));
  EXPECT_EQ(last.log->snapshot().back(), "finished");
}

TEST(DiskZeroing, RefusedDismountWritesNothing) {
  Rig rig(1000);
  rig.disk->setDismountResult(false);
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.disk->calls(), (std::vector<FakeDisk::Call>{{Op::Dismount, 0, 0}}));
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  ASSERT_TRUE(rig.imager.errorEncountered(code, message));
  EXPECT_EQ(code, ERR_DISMOUNT_FAILED);
  EXPECT_EQ(message, "");
}

TEST(DiskZeroing, FailedWriteStopsAndIsStoredAcrossLaterSuccess) {
  Rig rig(1000);
  rig.disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Write && sector == 512); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.log->snapshot().back(), "error 4 Failed to write sector block.");
  EXPECT_EQ(writesOf(*rig.disk).size(), 3u);
  EXPECT_THROW(rig.imager.throwIfError(), VantorException);

  rig.disk->gate = nullptr;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 0}}));
  EXPECT_EQ(rig.log->snapshot().back(), "finished");
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  ASSERT_TRUE(rig.imager.errorEncountered(code, message));
  EXPECT_EQ(code, ERR_DISK_ACCESS);
  EXPECT_EQ(message, "Failed to write sector block.");
  try {
    rig.imager.throwIfError();
    FAIL() << "no exception";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_DISK_ACCESS);
    EXPECT_EQ(e.getMessage(), "Failed to write sector block.");
  }
}

TEST(DiskImagerEngine, SecondStartWhileRunningIsRefused) {
  Rig rig(2000);
  Gate gate;
  rig.disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(false, boost::none));
  gate.waitUntilSomebodyWaits();
  EXPECT_FALSE(rig.imager.done());
  EXPECT_FALSE(rig.imager.startZeroingDisk(false, Ranges{{0, 0}}));
  EXPECT_FALSE(rig.imager.startReadingImage("/nonexistent/x.img", false, false));
  gate.open();
  rig.imager.join();
  EXPECT_TRUE(rig.imager.done());
  const auto events = rig.log->snapshot();
  EXPECT_EQ(std::count(events.begin(), events.end(), "started"), 1);
  EXPECT_EQ(events.back(), "finished");
  EXPECT_EQ(writesOf(*rig.disk).size(), 8u);  // the whole drive, once
}

TEST(DiskImagerEngine, AbortEndsWithOneAbortNotificationAndNoError) {
  Rig rig(2000);
  Gate gate;
  rig.disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(false, boost::none));
  gate.waitUntilSomebodyWaits();
  rig.imager.abort();
  EXPECT_TRUE(rig.imager.done());  // at once, before the worker has stopped
  gate.open();
  rig.imager.join();
  const auto events = rig.log->snapshot();
  EXPECT_EQ(events.back(), "aborted");
  EXPECT_EQ(std::count(events.begin(), events.end(), "aborted"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "finished"), 0);
  EXPECT_EQ(rig.imager.percentComplete(), 100);
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  EXPECT_FALSE(rig.imager.errorEncountered(code, message));
  EXPECT_NE(rig.disk->calls().back().op, Op::Mount) << "an aborted wipe leaves the drive dismounted";
  EXPECT_LT(writesOf(*rig.disk).size(), 8u);

  // The next start runs normally.
  rig.disk->gate = nullptr;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 0}}));
  EXPECT_EQ(rig.log->snapshot().back(), "finished");
}

TEST(DiskImagerEngine, AbortWithNothingRunningMakesDoneTrue) {
  Rig rig(10);
  EXPECT_FALSE(rig.imager.done());
  rig.imager.abort();
  EXPECT_TRUE(rig.imager.done());
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.log->snapshot().back(), "finished");
}

TEST(DiskImagerEngine, ObserversHearEveryNotificationInRegistrationOrder) {
  auto disk = std::make_shared<FakeDisk>(512, 600);
  DiskDevice device("fake", disk);
  auto log = std::make_shared<EventLog>();
  {
    DiskImager imager(device);
    imager.registerObserver(new RecordingObserver(log, "a"));
    imager.registerObserver(new RecordingObserver(log, "b"));
    imager.registerObserver(new IDiskImagingObserver);  // a plain observer does nothing
    ASSERT_TRUE(imager.startZeroingDisk(true, boost::none));
    EXPECT_TRUE(imager.done());
  }
  const std::vector<std::string> expected = {"a: started",    "b: started",    "a: progress 42", "b: progress 42",
                                             "a: finished",   "b: finished",   "a: deleted",     "b: deleted"};
  EXPECT_EQ(log->snapshot(), expected);
}

// An observer that aborts from inside a notification: the lock is re-entrant.
class AbortingObserver : public IDiskImagingObserver {
 public:
  explicit AbortingObserver(DiskImager& imager) : imager_(imager) {}
  void progressUpdate(unsigned char) override { imager_.abort(); }

 private:
  DiskImager& imager_;
};

TEST(DiskImagerEngine, ObserverMayAbortFromInsideANotification) {
  Rig rig(5000);
  rig.imager.registerObserver(new AbortingObserver(rig.imager));
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.log->snapshot().back(), "aborted");
  EXPECT_EQ(writesOf(*rig.disk).size(), 2u);  // progress first comes after the second chunk
}

// An observer that tries to start another operation from inside a notification.
class RestartingObserver : public IDiskImagingObserver {
 public:
  RestartingObserver(DiskImager& imager, std::shared_ptr<EventLog> log) : imager_(imager), log_(std::move(log)) {}
  void finishedSuccessfully() override {
    log_->add(imager_.startZeroingDisk(true, boost::none) ? "restart accepted" : "restart refused");
  }

 private:
  DiskImager& imager_;
  std::shared_ptr<EventLog> log_;
};

TEST(DiskImagerEngine, StartFromInsideANotificationIsRefused) {
  Rig rig(10);
  rig.imager.registerObserver(new RestartingObserver(rig.imager, rig.log));
  rig.imager.registerObserver(nullptr);  // ignored
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.log->snapshot().back(), "restart refused");
  EXPECT_EQ(writesOf(*rig.disk).size(), 1u);
}

TEST(DiskImagerEngine, ObserverRegisteredWhileRunningMissesStarted) {
  Rig rig(2000);
  Gate gate;
  rig.disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(false, boost::none));
  gate.waitUntilSomebodyWaits();
  rig.imager.registerObserver(new RecordingObserver(rig.log, "late"));
  gate.open();
  rig.imager.join();
  const auto events = rig.log->snapshot();
  EXPECT_EQ(std::count(events.begin(), events.end(), "late: started"), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "late: finished"), 1);
}

TEST(DiskImagerEngine, FacadeDestroyedMidOperationLeavesWorkerToFinish) {
  auto disk = std::make_shared<FakeDisk>(512, 2000);
  auto log = std::make_shared<EventLog>();
  Gate gate;
  disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  {
    DiskDevice device("fake", disk);
    auto imager = std::make_unique<DiskImager>(device);
    imager->registerObserver(new RecordingObserver(log));
    ASSERT_TRUE(imager->startZeroingDisk(false, boost::none));
    gate.waitUntilSomebodyWaits();
    imager.reset();
  }
  EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"started"}));
  gate.open();
  ASSERT_TRUE(log->waitFor("deleted"));
  const auto events = log->snapshot();
  EXPECT_EQ(events[events.size() - 2], "finished");
  EXPECT_EQ(writesOf(*disk).size(), 8u);
  // The worker drops its last references right after deleting the observers.
  for (int i = 0; i < 100 && disk.use_count() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(disk.use_count(), 1);
}

TEST(DiskImagerEngine, ForeignExceptionsEndAsGeneralErrors) {
  Rig rig(1000);
  rig.disk->gate = [](Op, u32, u32) -> bool { throw std::runtime_error("device exploded"); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_TRUE(rig.imager.done());
  EXPECT_EQ(rig.log->snapshot().back(), "error 1 device exploded");
}

// An observer that throws from every notification: the worker carries on, the other
// observers hear everything, and each operation still closes exactly once.
TEST(DiskImagerEngine, ThrowingObserversNeitherStopTheWorkerNorDoubleTheClose) {
  struct Throwing : RecordingObserver {
    using RecordingObserver::RecordingObserver;
    void started() override { RecordingObserver::started(), throw std::runtime_error("started"); }
    void progressUpdate(unsigned char p) override { RecordingObserver::progressUpdate(p), throw 7; }
    void abortedByUser() override { RecordingObserver::abortedByUser(), throw VantorException(ERR_GENERAL, "x"); }
    void finishedSuccessfully() override { RecordingObserver::finishedSuccessfully(), throw std::bad_alloc(); }
    void finishedWithError(VantorErrorCodes c, const vrk::String& m) override {
      RecordingObserver::finishedWithError(c, m), throw std::runtime_error("error");
    }
  };
  Rig rig(1000);
  auto thrower = std::make_shared<EventLog>();
  rig.imager.registerObserver(new Throwing(thrower));
  const auto closings = [](EventLog& log) {
    int n = 0;
    for (const std::string& e : log.snapshot()) n += e == "finished" || e == "aborted" || e.rfind("error", 0) == 0;
    return n;
  };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));  // succeeds
  rig.disk->gate = [](Op op, u32, u32) { return op != Op::Write; };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));  // fails
  EXPECT_EQ(closings(*thrower), 2);
  EXPECT_EQ(closings(*rig.log), 2);
  EXPECT_EQ(rig.log->progress(), (std::vector<int>{25, 51}));
  EXPECT_EQ(thrower->progress(), (std::vector<int>{25, 51}));
  EXPECT_EQ(rig.log->snapshot().back().rfind("error 4", 0), 0u);
}

TEST(DiskImagerEngine, UnrecognizedVolumeBehaviourIsLoggedAndIgnored) {
  std::vector<std::string> records;
  vrk::LogFactory::setSink([&records](const vrk::String& logger, int priority, const vrk::String& text) {
    records.push_back(logger.str() + "/" + std::to_string(priority) + "/" + text.str());
  });
  Rig rig(10);
  rig.imager.setVolumeTooLargeBehavior(static_cast<DiskImager::VolumeTooLargeBehavior>(2));
  vrk::LogFactory::setSink(nullptr);
  EXPECT_EQ(records, (std::vector<std::string>{"DEFECT.GENERIC/4/Unrecognized parameter"}));
}

TEST(CLImagingObserver, PrintsTheConsoleLines) {
  std::ostringstream out, err;
  auto* oldOut = std::cout.rdbuf(out.rdbuf());
  auto* oldErr = std::cerr.rdbuf(err.rdbuf());
  {
    CLImagingObserver observer;
    observer.started();
    observer.progressUpdate(0);
    observer.progressUpdate(42);
    observer.progressUpdate(42);
    observer.progressUpdate(100);
    observer.abortedByUser();
    observer.finishedSuccessfully();
    observer.finishedWithError(ERR_DISK_ACCESS, "");
    observer.finishedWithError(ERR_GENERAL, "something");
  }
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  // The seconds are the observer's lifetime so far: a few milliseconds, more on a busy machine.
  EXPECT_TRUE(std::regex_match(out.str(), std::regex("Operation started\n0%\n42%\n42%\n100%\nOperation aborted by "
                                                     "user\\.\nOperation finished successfully \\(0\\.[0-9]{2} "
                                                     "seconds\\)\n")))
      << out.str();
  EXPECT_EQ(err.str(), "Error encountered, quitting\nError encountered, quitting\n");
}

}  // namespace
}  // namespace vantor::test

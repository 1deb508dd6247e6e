// The imaging engine, driven by its simplest operation, zeroing: the chunks and ranges
// written, the progress reported, range checks, failures stored until the next one, and
// the start protocol, abort and notifications around any operation.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <libVantor/DiskImager.h>

#include "support/FakeDisk.h"
#include "support/LogCapture.h"
#include "support/RecordingObserver.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;
using Ranges = std::vector<std::pair<u64, u64>>;
using Calls = std::vector<FakeDisk::Call>;

struct Rig {
  explicit Rig(u32 sectors) : disk(std::make_shared<FakeDisk>(512, sectors)), device("fake", disk), imager(device) {
    imager.registerObserver(new RecordingObserver(log));
  }
  std::string last() { return log->snapshot().back(); }
  std::shared_ptr<FakeDisk> disk;
  DiskDevice device;
  DiskImager imager;
  std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

Calls writes(std::initializer_list<std::pair<u32, u32>> runs) {
  Calls out;
  for (const auto& r : runs) out.push_back({Op::Write, r.first, r.second});
  return out;
}

TEST(Zeroing, WritesTheRangesInChunksAndReportsOverallProgress) {
  const std::string beyond = "error 1 LBA range beyond end of drive.";
  const std::string wide = "error 1 This library can only work with sector offsets that are 32-bit numbers.";
  struct Case {
    const char* name;
    u32 sectors;
    boost::optional<Ranges> ranges;
    Calls writes;
    boost::optional<std::vector<int>> progress;  // 0 is the stored percentage already: never seen
    std::string last;
  };
  const std::vector<int> quiet;  // no progress at all
  const Case cases[] = {
      {"whole drive", 1000, boost::none, writes({{0, 256}, {256, 256}, {512, 256}, {768, 232}}), std::vector<int>{25, 51}, "finished"},
      {"two ranges", 4096, Ranges{{0, 1023}, {2048, 3071}},
       writes({{0, 256}, {256, 256}, {512, 256}, {768, 256}, {2048, 256}, {2304, 256}, {2560, 256}, {2816, 256}}),
       std::vector<int>{12, 25, 50, 62, 75}, "finished"},
      {"inverted pair counts as nothing", 2048, Ranges{{0, 1023}, {1024, 0}},
       writes({{0, 256}, {256, 256}, {512, 256}, {768, 256}}), std::vector<int>{25, 50}, "finished"},
      {"exactly one chunk", 1000, Ranges{{10, 265}}, writes({{10, 256}}), quiet, "finished"},
      {"in the order given, overlaps twice", 1000, Ranges{{999, 999}, {0, 1}, {0, 0}},
       writes({{999, 1}, {0, 2}, {0, 1}}), quiet, "finished"},
      {"up to the last sector", 1000, Ranges{{0, 999}}, writes({{0, 256}, {256, 256}, {512, 256}, {768, 232}}),
       boost::none, "finished"},
      {"no ranges", 100, Ranges{}, {}, quiet, "finished"},
      {"empty drive", 0, boost::none, {}, quiet, "finished"},
      {"empty drive, a range", 0, Ranges{{5, 5}}, {}, quiet, beyond},
      {"one past the end", 1000, Ranges{{0, 1000}}, {}, quiet, beyond},
      {"wider than 32 bits", 1000, Ranges{{0, 1ull << 32}}, {}, quiet, wide},
      {"starts past 32 bits", 1000, Ranges{{1ull << 32, 5000}}, {}, quiet, wide},
      {"checked just before each range", 1000, Ranges{{0, 0}, {1, 1}, {0, 1000}}, writes({{0, 1}, {1, 1}}), quiet, beyond},
  };
  for (const Case& c : cases) {
    Rig rig(c.sectors);
    rig.disk->fill(0, 0xAB, u64(c.sectors) * 512);
    ASSERT_TRUE(rig.imager.startZeroingDisk(true, c.ranges)) << c.name;
    EXPECT_EQ(rig.disk->writes(), c.writes) << c.name;
    if (c.progress) {
      EXPECT_EQ(rig.log->progress(), *c.progress) << c.name;
    }
    EXPECT_EQ(rig.last(), c.last) << c.name;
    EXPECT_EQ(rig.disk->calls().front().op, Op::Dismount) << c.name;
    EXPECT_EQ(rig.disk->calls().back().op == Op::Mount, c.last == "finished") << c.name << ": no remount after a failure";
    for (const auto& w : c.writes)
      EXPECT_EQ(rig.disk->read(u64(w.sector) * 512, u64(w.count) * 512), std::vector<u8>(u64(w.count) * 512, 0));
    if (c.sectors > 300 && c.writes.size() < 4) {
      EXPECT_EQ(rig.disk->byteAt(300 * 512), 0xAB) << c.name << ": outside the ranges";
    }
  }
}

TEST(Zeroing, RefusedDismountWritesNothing) {
  Rig rig(1000);
  rig.disk->dismountResult = false;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.disk->calls(), (Calls{{Op::Dismount, 0, 0}}));
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  ASSERT_TRUE(rig.imager.errorEncountered(code, message));
  EXPECT_EQ(code, ERR_DISMOUNT_FAILED);
}

TEST(ImagingEngine, FailureStopsTheOperationAndIsKeptAcrossALaterSuccess) {
  Rig rig(1000);
  rig.disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Write && sector == 512); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.last(), "error 4 Failed to write sector block.");
  EXPECT_EQ(rig.disk->writes().size(), 3u);
  rig.disk->gate = nullptr;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 0}}));
  EXPECT_EQ(rig.last(), "finished");
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  ASSERT_TRUE(rig.imager.errorEncountered(code, message));
  EXPECT_EQ(code, ERR_DISK_ACCESS);
  EXPECT_EQ(message, "Failed to write sector block.");
  EXPECT_THROW(rig.imager.throwIfError(), VantorException);

  rig.disk->gate = [](Op, u32, u32) -> bool { throw std::runtime_error("device exploded"); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.last(), "error 1 device exploded") << "foreign exceptions end as general errors";
}

TEST(ImagingEngine, OneOperationAtATimeAndAbortEndsItWithOneNotification) {
  Rig rig(2000);
  Gate gate;
  rig.disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(false, boost::none));
  gate.waitUntilSomebodyWaits();
  EXPECT_FALSE(rig.imager.done());
  EXPECT_FALSE(rig.imager.startZeroingDisk(false, Ranges{{0, 0}}));
  EXPECT_FALSE(rig.imager.startReadingImage("/nonexistent/x.img", false, false));
  rig.imager.registerObserver(new RecordingObserver(rig.log, "late"));
  rig.imager.abort();
  EXPECT_TRUE(rig.imager.done()) << "at once, before the worker has stopped";
  gate.open();
  rig.imager.join();
  const auto events = rig.log->snapshot();
  EXPECT_EQ(std::count(events.begin(), events.end(), "started"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "late: started"), 0) << "a late observer misses started";
  EXPECT_EQ(std::count(events.begin(), events.end(), "aborted"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "late: aborted"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "finished"), 0);
  EXPECT_EQ(rig.imager.percentComplete(), 100);
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  EXPECT_FALSE(rig.imager.errorEncountered(code, message));
  EXPECT_NE(rig.disk->calls().back().op, Op::Mount) << "an aborted wipe leaves the drive dismounted";
  EXPECT_LT(rig.disk->writes().size(), 8u);

  rig.disk->gate = nullptr;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 0}}));
  EXPECT_EQ(rig.last(), "late: finished") << "the next start runs normally";
}

TEST(ImagingEngine, ObserversHearEveryNotificationInRegistrationOrderEvenWhenOthersThrow) {
  struct Throwing : RecordingObserver {
    using RecordingObserver::RecordingObserver;
    void started() override { RecordingObserver::started(), throw std::runtime_error("started"); }
    void progressUpdate(unsigned char p) override { RecordingObserver::progressUpdate(p), throw 7; }
    void finishedSuccessfully() override { RecordingObserver::finishedSuccessfully(), throw std::bad_alloc(); }
    void finishedWithError(VantorErrorCodes c, const vrk::String& m) override {
      RecordingObserver::finishedWithError(c, m), throw std::runtime_error("error");
    }
  };
  auto disk = std::make_shared<FakeDisk>(512, 600);
  DiskDevice device("fake", disk);
  auto log = std::make_shared<EventLog>();
  {
    DiskImager imager(device);
    imager.registerObserver(new Throwing(log, "a"));
    imager.registerObserver(new RecordingObserver(log, "b"));
    imager.registerObserver(new IDiskImagingObserver);  // a plain observer does nothing
    imager.registerObserver(nullptr);                   // ignored
    ASSERT_TRUE(imager.startZeroingDisk(true, boost::none));
    disk->gate = [](Op op, u32, u32) { return op != Op::Write; };
    ASSERT_TRUE(imager.startZeroingDisk(true, boost::none));
  }
  EXPECT_EQ(log->snapshot(),
            (std::vector<std::string>{"a: started", "b: started", "a: progress 42", "b: progress 42", "a: finished",
                                      "b: finished", "a: started", "b: started", "a: error 4 Failed to write sector block.",
                                      "b: error 4 Failed to write sector block.", "a: deleted", "b: deleted"}));
}

// Observers that abort, or try to start again, from inside a notification.
TEST(ImagingEngine, ObserversMayAbortButNotStartFromInsideANotification) {
  struct Reentrant : IDiskImagingObserver {
    Reentrant(DiskImager& imager, EventLog& log) : imager(imager), log(log) {}
    void progressUpdate(unsigned char) override { imager.abort(); }
    void abortedByUser() override {
      log.add(imager.startZeroingDisk(true, boost::none) ? "restart accepted" : "restart refused");
    }
    DiskImager& imager;
    EventLog& log;
  };
  Rig rig(5000);
  rig.imager.registerObserver(new Reentrant(rig.imager, *rig.log));
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.last(), "restart refused");
  EXPECT_EQ(rig.disk->writes().size(), 2u) << "progress first comes after the second chunk";
}

TEST(ImagingEngine, FacadeDestroyedMidOperationLeavesTheWorkerToFinish) {
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
  }
  EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"started"}));
  gate.open();
  ASSERT_TRUE(log->waitFor("deleted"));
  const auto events = log->snapshot();
  EXPECT_EQ(events[events.size() - 2], "finished");
  EXPECT_EQ(disk->writes().size(), 8u);
  // The worker drops its last references right after deleting the observers.
  for (int i = 0; i < 100 && disk.use_count() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(disk.use_count(), 1);
}

TEST(ImagingEngine, UnrecognizedVolumeBehaviourIsLoggedAndIgnored) {
  LogCapture log("DEFECT.GENERIC");
  Rig rig(10);
  rig.imager.setVolumeTooLargeBehavior(static_cast<DiskImager::VolumeTooLargeBehavior>(2));
  EXPECT_EQ(log.records(), (std::vector<std::string>{"Unrecognized parameter"}));
}

}  // namespace
}  // namespace vantor::test

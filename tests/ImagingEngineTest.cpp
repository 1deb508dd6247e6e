// The imaging engine over a fake disk: the chunks and ranges zeroing writes, the start
// protocol, abort and notifications, and the chunk ring between the worker and the drive
// thread; what a capture writes and a restore puts back, and their failure paths (the
// partial file removed, the drive left dismounted). The image files a restore refuses,
// in all their variety, are the image fuzz target's business.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <libVantor/DiskImager.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/RecordingObserver.h"
#include "support/SystemHandles.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;
using Ranges = std::vector<std::pair<u64, u64>>;
using Calls = std::vector<FakeDisk::Call>;

// An engine over a fake disk, with a recording observer.
struct Rig {
  explicit Rig(std::shared_ptr<FakeDisk> d) : disk(std::move(d)), device("fake", disk), imager(device) {
    imager.registerObserver(new RecordingObserver(log));
  }
  explicit Rig(u32 sectors, u32 sectorSize = 512) : Rig(std::make_shared<FakeDisk>(sectorSize, sectors)) {}
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

TEST(Zeroing, WritesTheRangesInChunksAndChecksEachRangeBeforeWritingIt) {
  const std::string beyond = "error 1 LBA range beyond end of drive.";
  const std::string wide = "error 1 This library can only work with sector offsets that are 32-bit numbers.";
  struct Case {
    u32 sectors;
    boost::optional<Ranges> ranges;
    Calls writes;
    std::vector<int> progress;
    std::string last;
  };
  const Case cases[] = {
      {1000, boost::none, writes({{0, 256}, {256, 256}, {512, 256}, {768, 232}}), {25, 51}, "finished"},
      {4096, Ranges{{0, 1023}, {1024, 0}, {2048, 3071}},  // an inverted pair counts as nothing
       writes({{0, 256}, {256, 256}, {512, 256}, {768, 256}, {2048, 256}, {2304, 256}, {2560, 256}, {2816, 256}}),
       {12, 25, 50, 62, 75}, "finished"},
      {1000, Ranges{{999, 999}, {0, 1}}, writes({{999, 1}, {0, 2}}), {}, "finished"},  // in the order given
      {0, boost::none, {}, {}, "finished"},
      {1000, Ranges{{0, 1ull << 32}}, {}, {}, wide},
      {1000, Ranges{{1ull << 32, 5000}}, {}, {}, wide},
      {1000, Ranges{{0, 0}, {1, 1}, {0, 1000}}, writes({{0, 1}, {1, 1}}), {}, beyond},  // one past the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.writes));
    Rig rig(c.sectors);
    rig.disk->fill(0, 0xAB, u64(c.sectors) * 512);
    ASSERT_TRUE(rig.imager.startZeroingDisk(true, c.ranges));
    EXPECT_EQ(rig.disk->writes(), c.writes);
    EXPECT_EQ(rig.log->progress(), c.progress);
    EXPECT_EQ(rig.last(), c.last);
    EXPECT_EQ(rig.disk->calls().front().op, Op::Dismount);
    EXPECT_EQ(rig.disk->calls().back().op == Op::Mount, c.last == "finished") << "no remount after a failure";
    u64 zeros = 0;
    for (const auto& w : c.writes) zeros += u64(w.count) * 512;
    for (const u8 b : rig.disk->image()) zeros -= b == 0;
    EXPECT_EQ(zeros, 0u) << "only the sectors written are zero";
  }
}

TEST(ImagingEngine, FailureStopsTheOperationAndIsKeptAcrossALaterSuccess) {
  Rig rig(1000);
  rig.disk->dismountResult = false;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.disk->calls(), (Calls{{Op::Dismount, 0, 0}}));
  EXPECT_EQ(rig.last().rfind("error 2 ", 0), 0u) << rig.last();
  rig.disk->dismountResult = true;
  rig.disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Write && sector == 512); };
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.last(), "error 4 Failed to write sector block.");
  EXPECT_EQ(rig.disk->writes().size(), 3u);
  rig.disk->gate = nullptr;
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, Ranges{{0, 0}}));
  EXPECT_EQ(rig.last(), "finished");
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
  EXPECT_FALSE(rig.imager.startZeroingDisk(false, Ranges{{0, 0}}));
  EXPECT_FALSE(rig.imager.startReadingImage("/nonexistent/x.img", false, false));
  rig.imager.registerObserver(new RecordingObserver(rig.log, "late"));
  rig.imager.abort();
  EXPECT_TRUE(rig.imager.done()) << "at once, before the worker has stopped";
  gate.open();
  rig.imager.join();
  EXPECT_EQ(rig.log->snapshot(), (std::vector<std::string>{"started", "aborted", "late: aborted"}));
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
    void finishedWithError(VantorErrorCodes c, const vrk::String& m) override {
      RecordingObserver::finishedWithError(c, m), throw std::bad_alloc();
    }
  };
  auto log = std::make_shared<EventLog>();
  {
    Rig rig(600);
    rig.imager.registerObserver(new Throwing(log, "a"));
    rig.imager.registerObserver(new RecordingObserver(log, "b"));
    rig.imager.registerObserver(nullptr);  // ignored
    rig.disk->gate = [](Op op, u32 sector, u32) { return op != Op::Write || sector != 512; };
    ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  }
  EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"a: started", "b: started", "a: progress 42", "b: progress 42",
                                                       "a: error 4 Failed to write sector block.",
                                                       "b: error 4 Failed to write sector block.", "a: deleted",
                                                       "b: deleted"}));
}

// An observer may abort from inside a notification, but not start another operation.
TEST(ImagingEngine, ObserversMayAbortButNotStartFromInsideANotification) {
  struct Reentrant : IDiskImagingObserver {
    explicit Reentrant(Rig& rig) : rig(rig) {}
    void progressUpdate(unsigned char) override { rig.imager.abort(); }
    void abortedByUser() override { rig.log->add(rig.imager.startZeroingDisk(true, boost::none) ? "again" : "refused"); }
    Rig& rig;
  };
  Rig rig(5000);
  rig.imager.registerObserver(new Reentrant(rig));
  ASSERT_TRUE(rig.imager.startZeroingDisk(true, boost::none));
  EXPECT_EQ(rig.last(), "refused");
  EXPECT_EQ(rig.disk->writes().size(), 2u) << "progress first comes after the second chunk";
}

TEST(ImagingEngine, FacadeDestroyedMidOperationLeavesTheWorkerToFinish) {
  auto disk = std::make_shared<FakeDisk>(512, 2000);
  auto log = std::make_shared<EventLog>();
  Gate gate;
  disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  {
    DiskDevice device("fake", disk);
    DiskImager imager(device);
    imager.registerObserver(new RecordingObserver(log));
    ASSERT_TRUE(imager.startZeroingDisk(false, boost::none));
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

TEST(ChunkRing, EveryStageTakesEveryChunkInOrderAndSeesWhatTheStageBeforeWrote) {
  constexpr u64 chunks = 2000;
  ChunkRing ring(3, 4, 64);
  std::atomic<bool> ordered{true};
  // Stage 0 writes each chunk's number into its slot, stage 1 inverts it, stage 2 checks it.
  const auto stage = [&](std::size_t index) {
    u64 i = 0;
    while (index > 0 || i < chunks) {
      const auto sequence = ring.next(index);
      if (!sequence) break;
      u64 value = i;
      if (index > 0) std::memcpy(&value, ring.slot(*sequence).data.get(), sizeof value);
      if (*sequence != i || value != (index == 2 ? ~i : i)) ordered = false;
      value = ~value;
      std::memcpy(ring.slot(*sequence).data.get(), index == 0 ? &i : &value, sizeof value);
      ring.pass(index);
      ++i;
    }
    ring.end(index);
    return i;
  };
  std::thread first(stage, 0);
  std::thread second(stage, 1);
  EXPECT_EQ(stage(2), chunks);
  first.join();
  second.join();
  EXPECT_TRUE(ordered);
}

// A disk with an empty partition table and data in every sector, so that its map is
// sector 0 and the 2048 sectors after it.
std::shared_ptr<FakeDisk> sourceDisk(u32 sectors = 4096) {
  auto disk = std::make_shared<FakeDisk>(512, sectors);
  std::mt19937 random(7);
  std::vector<u8> bytes(u64(sectors) * 512);
  for (auto& b : bytes) b = static_cast<u8>(random());
  disk->put(0, bytes);
  disk->fill(446, 0, 64);  // no partitions
  return disk;
}

// Notes the threads that move whole chunks, and whether two transfers ever overlap.
struct DriveWatch {
  DriveWatch(FakeDisk& disk, bool slow) {
    disk.gate = [this, slow](Op, u32, u32 count) {
      if (inFlight.fetch_add(1) != 0) overlapped = true;
      if (count == 256) {
        std::lock_guard<std::mutex> guard(mutex);
        chunkThreads.insert(std::this_thread::get_id());
      }
      if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
      inFlight.fetch_sub(1);
      return true;
    };
  }
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::mutex mutex;
  std::set<std::thread::id> chunkThreads;
};

// Takes its time over each progress report, so that the drive thread runs ahead and the
// ring between them fills.
struct SlowObserver : IDiskImagingObserver {
  void progressUpdate(unsigned char) override { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }
};

// Capture, then restore with verify, under a slow drive or a slow observer: the file holds
// the used sectors in one run, the target gets them back, and one thread other than the
// caller's moves the chunks, never two transfers at once.
TEST(ImageCapture, UsedSectorsRoundTripThroughAFileWithOneThreadOnTheDrive) {
  TempDir dir;
  const std::vector<int> progress{12, 24, 37, 49, 62, 74, 87, 99, 100};
  for (bool slowDrive : {false, true}) {
    SCOPED_TRACE(slowDrive ? "slow drive" : "slow observer");
    Rig capture(sourceDisk());
    DriveWatch sourceWatch(*capture.disk, slowDrive);
    capture.imager.registerObserver(new SlowObserver);
    ASSERT_TRUE(capture.imager.startReadingImage(dir.file("a.img"), true, false));
    EXPECT_EQ(capture.last(), "finished");
    EXPECT_EQ(capture.log->progress(), progress);
    const std::vector<u8> used = capture.disk->read(0, 2049 * 512);
    const std::string file = readFile(dir.file("a.img"));
    ASSERT_EQ(file.size(), 90u + 8 + used.size());
    EXPECT_EQ(parseImageHeader(reinterpret_cast<const u8*>(file.data())).totalSectors, 2049u);
    EXPECT_EQ(file.substr(90, 8), std::string("\0\0\0\0\x01\x08\0\0", 8)) << "one run: sector 0, 2049 sectors";
    EXPECT_EQ(std::memcmp(used.data(), file.data() + 98, used.size()), 0);

    Rig restore(4096);
    DriveWatch targetWatch(*restore.disk, slowDrive);
    restore.imager.registerObserver(new SlowObserver);
    int called = 0;
    const auto callback = [&](std::shared_ptr<IDisk> d) { called += d == restore.disk; };
    ASSERT_TRUE(restore.imager.startWritingImage(dir.file("a.img"), true, false, true, callback));
    EXPECT_EQ(restore.last(), "finished");
    EXPECT_EQ(restore.log->progress(), progress);
    EXPECT_EQ(called, 1);
    EXPECT_EQ(restore.disk->writes().size(), 9u);
    EXPECT_EQ(restore.disk->read(0, used.size()), used);
    EXPECT_EQ(restore.disk->calls().front().op, Op::Dismount);
    EXPECT_EQ(restore.disk->calls().back().op, Op::Mount);
    for (DriveWatch* watch : {&sourceWatch, &targetWatch}) {
      EXPECT_FALSE(watch->overlapped);
      EXPECT_EQ(watch->chunkThreads.size(), 1u);
      EXPECT_EQ(watch->chunkThreads.count(std::this_thread::get_id()), 0u);
    }
  }
  Rig dump(sourceDisk(1000));
  ASSERT_TRUE(dump.imager.startReadingImage(dir.file("dump"), true, true));
  EXPECT_EQ(dump.last(), "finished");
  const std::vector<u8> whole = dump.disk->image();
  EXPECT_EQ(readFile(dir.file("dump")), std::string(whole.begin(), whole.end())) << "a dump is the drive as it is";
}

// A capture that fails or is aborted leaves no file; nothing but a regular file is
// written or removed.
TEST(ImageCapture, FailedOrAbortedCaptureLeavesNoFile) {
  TempDir dir;
  const std::string image = dir.file("f.img");
  Rig failing(sourceDisk());
  failing.disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Read && sector == 2048); };
  ASSERT_TRUE(failing.imager.startReadingImage(image, true, false));
  EXPECT_EQ(failing.last(), "error 4 Error reading sector chunk starting at LBA 00000800h");
  EXPECT_FALSE(vrk::FileSystem::exists(image));
  Rig aborted(sourceDisk());
  Gate gate;
  aborted.disk->gate = [&](Op, u32 sector, u32) { return sector != 256 || gate.pass(); };
  ASSERT_TRUE(aborted.imager.startReadingImage(image, false, false));
  gate.waitUntilSomebodyWaits();
  aborted.imager.abort();
  gate.open();
  aborted.imager.join();
  EXPECT_EQ(aborted.last(), "aborted");
  EXPECT_FALSE(vrk::FileSystem::exists(image));

  // A missing folder, a device, a pipe or a link to one is refused before anything is written.
  std::vector<std::string> refused = specialFiles(dir.path());
  refused.push_back(dir.file("missing-dir/a.img"));
  for (const std::string& path : refused) {
    Rig rig(sourceDisk());
    ASSERT_TRUE(rig.imager.startReadingImage(path, true, true));
    EXPECT_EQ(rig.last(), "error 6 Problem accessing file \"" + path + "\"");
  }
  EXPECT_TRUE(specialFilesIntact(dir.path()));
}

// An image of one run of 3000 sectors from sector 0, of a volume that ends at `highest`.
std::string imageFile(const TempDir& dir, u64 highest) {
  ImageHeader h;
  h.sectorSize = 512;
  h.highestVolumeSector = highest;
  h.runCount = 1;
  h.totalSectors = 3000;
  std::string bytes(image::HEADER_SIZE + image::RUN_HEADER_SIZE, '\0');
  encodeImageHeader(h, reinterpret_cast<u8*>(&bytes[0]));
  encodeRunHeader(0, 3000, reinterpret_cast<u8*>(&bytes[image::HEADER_SIZE]));
  writeFile(dir.file("r.img"), bytes + std::string(3000 * 512, 'z'));
  return dir.file("r.img");
}

// Changes a byte of the sector on the medium, so that what is read there is not what was written.
bool corrupt(FakeDisk& disk, u32 sector) {
  disk.fill(u64(sector) * 512 + 7, 0, 1);
  return true;
}

// Each refusal or failure ends the restore with its code, without the callback, and a
// drive once dismounted stays so; a refusal comes before the drive is touched at all.
TEST(ImageRestore, RefusalsAndFailuresEndTheRestoreAndLeaveTheDriveDismounted) {
  TempDir dir;
  struct Case {
    const char* name;
    u32 sectors, sectorSize;
    u64 highest;
    bool allowTooLarge;
    std::function<void(FakeDisk&)> arrange;
    VantorErrorCodes code;
    std::size_t writes;
  };
  const Case cases[] = {
      {"a drive of 4096-byte sectors", 4000, 4096, 0, false, nullptr, ERR_INCOMPATIBLE_IMAGE, 0},
      {"volume past the drive", 4000, 512, 4000, false, nullptr, ERR_VOLUME_TOO_LARGE, 0},
      {"used sectors past the drive, too large allowed", 2999, 512, 3999, true, nullptr, ERR_VOLUME_TOO_LARGE, 0},
      {"dismount refused", 4000, 512, 0, false, [](FakeDisk& d) { d.dismountResult = false; }, ERR_DISMOUNT_FAILED, 0},
      {"write fails", 4000, 512, 0, false,
       [](FakeDisk& d) { d.gate = [](Op op, u32 s, u32) { return !(op == Op::Write && s == 512); }; }, ERR_DISK_ACCESS,
       3},
      {"read-back differs", 4000, 512, 0, false,
       [](FakeDisk& d) { d.gate = [&d](Op op, u32 s, u32) { return op == Op::Write || s != 2048 || corrupt(d, s); }; },
       ERR_VERIFY_MISMATCH, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.sectors, c.sectorSize);
    VantorErrorCodes code = ERR_NONE;
    bool called = false;
    if (c.allowTooLarge) rig.imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
    if (c.arrange) c.arrange(*rig.disk);
    try {
      const auto callback = [&](std::shared_ptr<IDisk>) { called = true; };
      ASSERT_TRUE(rig.imager.startWritingImage(imageFile(dir, c.highest), true, false, true, callback));
      vrk::String message;
      rig.imager.errorEncountered(code, message);
    } catch (const VantorException& e) {
      code = e.getErrorCode();
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(rig.disk->writes().size(), c.writes);
    EXPECT_FALSE(called);
    EXPECT_TRUE(rig.disk->calls().empty() || rig.disk->calls().back().op != Op::Mount);
  }
}

}  // namespace
}  // namespace vantor::test

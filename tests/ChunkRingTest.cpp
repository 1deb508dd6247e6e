// How a capture and a restore move their chunks: the ring between the worker and the
// drive thread, and the drive touched by one thread at a time whatever the file side does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <libVantor/DiskImager.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DriveThread.h>

#include "support/FakeDisk.h"
#include "support/RecordingObserver.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;

TEST(ChunkRing, EveryStageTakesEveryChunkInOrderAndSeesWhatTheStageBeforeWrote) {
  constexpr u64 chunks = 2000;
  ChunkRing ring(3, 4, 64);
  std::atomic<bool> ordered{true};
  std::thread first([&] {
    for (u64 i = 0; i < chunks; ++i) {
      const auto sequence = ring.next(0);
      if (!sequence || *sequence != i) return void(ordered = false);
      std::memcpy(ring.slot(i).data.get(), &i, sizeof i);
      ring.pass(0);
    }
    ring.end(0);
  });
  std::thread second([&] {
    u64 i = 0;
    while (const auto sequence = ring.next(1)) {
      u64 seen = 0;
      std::memcpy(&seen, ring.slot(*sequence).data.get(), sizeof seen);
      if (*sequence != i || seen != i) ordered = false;
      seen = ~seen;
      std::memcpy(ring.slot(*sequence).data.get(), &seen, sizeof seen);
      ring.pass(1);
      ++i;
    }
    ring.end(1);
  });
  u64 taken = 0;
  while (const auto sequence = ring.next(2)) {
    u64 seen = 0;
    std::memcpy(&seen, ring.slot(*sequence).data.get(), sizeof seen);
    if (*sequence != taken || seen != ~taken) ordered = false;
    ring.pass(2);
    ++taken;
  }
  first.join();
  second.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(taken, chunks);
}

TEST(ChunkRing, EndCancelAndAFullRingHoldTheStagesAsPromised) {
  ChunkRing ring(3, 2, 16);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(ring.next(0));
    ring.pass(0);
  }
  std::atomic<bool> third{false};
  std::thread producer([&] { third = ring.next(0) == boost::optional<u64>(2); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(third) << "two slots, both taken";
  ASSERT_TRUE(ring.next(1));
  ring.pass(1);
  ASSERT_TRUE(ring.next(2));
  ring.pass(2);  // a slot is let go
  producer.join();
  EXPECT_TRUE(third);
  ring.end(1);  // the middle stage stops: stage 0 gets none at once, stage 2 once drained
  EXPECT_FALSE(ring.next(0));
  EXPECT_FALSE(ring.next(2));

  ChunkRing cancelled(2, 2, 16);
  std::thread waiter([&] { EXPECT_FALSE(cancelled.next(1)); });  // nothing was passed: it waits
  cancelled.cancel();
  waiter.join();

  ChunkRing failing(2, 2, 16);
  DriveThread drive(failing, 0, [] { throw std::runtime_error("body"); });
  EXPECT_FALSE(failing.next(1));  // its stage ended without passing anything
  EXPECT_THROW(drive.join(), std::runtime_error);
}

// A disk whose gate notes each transfer's thread and whether two ever overlapped.
struct WatchedDisk {
  explicit WatchedDisk(u32 sectors) : disk(std::make_shared<FakeDisk>(512, sectors)) {
    std::mt19937 random(11);
    std::vector<u8> bytes(disk->getSizeBytes());
    for (auto& b : bytes) b = static_cast<u8>(random());
    std::memset(bytes.data() + 446, 0, 64);  // no partitions: the map is sectors 0 to 2048
    disk->put(0, bytes);
    disk->gate = [this](Op op, u32, u32 count) {
      if (inFlight.fetch_add(1) != 0) overlapped = true;
      {
        std::lock_guard<std::mutex> guard(mutex);
        if (count == 256) chunkThreads.insert(std::this_thread::get_id());
        if (op == Op::Write) ++writes;
      }
      if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
      inFlight.fetch_sub(1);
      return true;
    };
  }
  std::shared_ptr<FakeDisk> disk;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  bool slow = false;
  std::mutex mutex;
  std::set<std::thread::id> chunkThreads;  // threads that moved whole chunks
  int writes = 0;
};

// An observer that takes its time over each progress report, so that the drive thread
// runs ahead and the ring fills.
struct SlowObserver : IDiskImagingObserver {
  void progressUpdate(unsigned char) override { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }
};

TEST(DrivePipeline, OneThreadMovesTheChunksWhileTheWorkerDoesTheFileAndReports) {
  TempDir dir;
  for (bool slowDrive : {false, true}) {
    SCOPED_TRACE(slowDrive ? "slow drive" : "slow observer");
    WatchedDisk source(4096);
    source.slow = slowDrive;
    {
      DiskDevice device("source", source.disk);
      DiskImager imager(device);
      auto log = std::make_shared<EventLog>();
      imager.registerObserver(new RecordingObserver(log));
      imager.registerObserver(new SlowObserver);
      ASSERT_TRUE(imager.startReadingImage(dir.file("a.img"), true, false));
      EXPECT_EQ(log->snapshot().back(), "finished");
      EXPECT_EQ(log->progress(), (std::vector<int>{12, 24, 37, 49, 62, 74, 87, 99, 100}));
    }
    EXPECT_FALSE(source.overlapped);
    EXPECT_EQ(source.chunkThreads.size(), 1u);
    EXPECT_EQ(source.chunkThreads.count(std::this_thread::get_id()), 0u);
    const std::string file = readFile(dir.file("a.img"));
    ASSERT_EQ(file.size(), 90u + 8 + 2049u * 512);
    EXPECT_EQ(std::memcmp(file.data() + 98, source.disk->read(0, 2049u * 512).data(), 2049u * 512), 0);

    for (bool verify : {false, true}) {
      WatchedDisk target(4096);
      target.slow = slowDrive;
      {
        DiskDevice device("target", target.disk);
        DiskImager imager(device);
        auto log = std::make_shared<EventLog>();
        imager.registerObserver(new RecordingObserver(log));
        imager.registerObserver(new SlowObserver);
        ASSERT_TRUE(imager.startWritingImage(dir.file("a.img"), true, false, verify, nullptr));
        EXPECT_EQ(log->snapshot().back(), "finished");
        EXPECT_EQ(log->progress(), (std::vector<int>{12, 24, 37, 49, 62, 74, 87, 99, 100}));
      }
      EXPECT_FALSE(target.overlapped);
      EXPECT_EQ(target.chunkThreads.size(), 1u);
      EXPECT_EQ(target.writes, 9);
      EXPECT_EQ(target.disk->read(0, 2049u * 512), source.disk->read(0, 2049u * 512));
    }
    std::remove(dir.file("a.img").c_str());
  }
}

}  // namespace
}  // namespace vantor::test

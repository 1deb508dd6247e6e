// tests/support/Imaging.h
// One imaging operation or one writing service run to its end, answered as a line a test
// can compare: the closing notification ("finished", "aborted", "error 4 <message>"), or
// "error CODE MESSAGE" of what a call on the caller's thread threw. And a listed drive as a
// line.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskImager.h>
#include <libVantor/DriveListing.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>

#include "support/FakeDisk.h"
#include "support/RecordingObserver.h"

namespace vantor::test {

// Starts one operation of a new imager over `disk` and answers its closing notification.
inline std::string runImaging(std::shared_ptr<IDisk> disk, const std::function<bool(DiskImager&)>& start) {
  DiskDevice device("drive", std::move(disk));
  DiskImager imager(device);
  auto log = std::make_shared<EventLog>();
  imager.registerObserver(new RecordingObserver(log));
  EXPECT_TRUE(start(imager));
  return log->snapshot().empty() ? "" : log->snapshot().back();
}

// "finished" when `call` returns, else "error CODE MESSAGE" of what it threw.
inline std::string outcome(const std::function<void()>& call) {
  try {
    call();
    return "finished";
  } catch (const VantorException& e) {
    return "error " + std::to_string(e.getErrorCode()) + " " + e.getMessage().str();
  }
}

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

}  // namespace vantor::test

// Capture and restore of image files through the engine: header validation, what a
// capture writes and a restore puts back, damaged files, compatibility checks and the
// failure paths of both operations (the partial file removed, the drive left dismounted).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <libVantor/DiskImager.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/LittleEndian.h>
#include <vrk/Files.h>
#include <vrk/Log.h>

#include "support/FakeDisk.h"
#include "support/LogCapture.h"
#include "support/RecordingObserver.h"
#include "support/SystemHandles.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;

// An engine over a fake disk, with a recording observer.
struct Rig {
  explicit Rig(std::shared_ptr<FakeDisk> d) : disk(std::move(d)), device("fake", disk), imager(device) {
    imager.registerObserver(new RecordingObserver(log));
  }
  std::string last() { return log->snapshot().back(); }
  std::shared_ptr<FakeDisk> disk;
  DiskDevice device;
  DiskImager imager;
  std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

// A disk with an empty partition table and data in a few gap sectors, so that its map
// is sector 0 and the 2048 sectors after it.
std::shared_ptr<FakeDisk> sourceDisk(u32 sectors = 4096) {
  auto disk = std::make_shared<FakeDisk>(512, sectors);
  std::mt19937 random(7);
  std::vector<u8> bytes(u64(sectors) * 512);
  for (auto& b : bytes) b = static_cast<u8>(random());
  disk->put(0, bytes);
  disk->fill(446, 0, 64);  // no partitions
  return disk;
}

std::string imageBytes(const ImageHeader& h, const std::string& runs = "") {
  u8 bytes[image::HEADER_SIZE];
  encodeImageHeader(h, bytes);
  return std::string(reinterpret_cast<char*>(bytes), sizeof bytes) + runs;
}

std::string run(u32 first, u32 count, char fill, u32 sectorSize = 512) {
  u8 header[8];
  encodeRunHeader(first, count, header);
  return std::string(reinterpret_cast<char*>(header), 8) + std::string(std::size_t(count) * sectorSize, fill);
}

TEST(ImageHeader, ValidationChecksSignatureThenMajorVersion) {
  struct Case {
    const char* name;
    std::function<void(u8*)> damage;
    VantorErrorCodes code;
  };
  const Case cases[] = {
      {"intact", [](u8*) {}, ERR_NONE},
      {"any minor version", [](u8* b) { writeLE16(b + 6, 77); }, ERR_NONE},
      {"zero after the signature text", [](u8* b) { b[60] = ' '; }, ERR_INVALID_IMAGE_FILE},
      {"signature letter", [](u8* b) { b[40] = 'q'; }, ERR_INVALID_IMAGE_FILE},
      {"version 1", [](u8* b) { writeLE16(b + 4, 1); }, ERR_INCOMPATIBLE_IMAGE},
      {"version 3", [](u8* b) { writeLE16(b + 4, 3); }, ERR_INCOMPATIBLE_IMAGE},
      {"both wrong", [](u8* b) { writeLE16(b + 4, 3); b[41] = 0; }, ERR_INVALID_IMAGE_FILE},
  };
  for (const Case& c : cases) {
    u8 bytes[image::HEADER_SIZE];
    encodeImageHeader(ImageHeader{}, bytes);
    c.damage(bytes);
    VantorErrorCodes got = ERR_NONE;
    try {
      parseImageHeader(bytes);
    } catch (const VantorException& e) {
      got = e.getErrorCode();
      EXPECT_EQ(e.getMessage(), got == ERR_INVALID_IMAGE_FILE
                                    ? "Invalid signature in image file header. File is likely not a Quillmark disk "
                                      "image file."
                                    : "Quillmark Image File uses a version that is incompatible with this application.");
    }
    EXPECT_EQ(got, c.code) << c.name;
  }
}

TEST(ImageInfo, RefusesShortMissingAndForeignFilesLeavingInfoUntouched) {
  TempDir dir;
  writeFile(dir.file("short"), imageBytes(ImageHeader{}).substr(0, 89));
  writeFile(dir.file("text"), std::string(200, 'x'));
  LogCapture log("vantor.DiskImager");
  for (const char* name : {"short", "text", "missing"}) {
    DISK_IMAGE_INFO info{1, 2, 3, 4};
    EXPECT_FALSE(DiskImager::getImageInfo(dir.file(name), info)) << name;
    EXPECT_EQ(info.requiredCapacity, 1u);
    EXPECT_EQ(info.sectorSize, 2u);
  }
  const auto records = log.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "413 Problem accessing or mapping file \"" + dir.file("short") + "\"");
  EXPECT_EQ(records[1].rfind("422 getImageInfo() called on incompatible file :\nInvalid signature", 0), 0u);

  ImageHeader h;
  h.sectorSize = 512;
  h.highestVolumeSector = 99;
  h.minorVersion = 3;
  writeFile(dir.file("empty.img"), imageBytes(h));  // 90 bytes, no runs: a valid empty image
  DISK_IMAGE_INFO info{};
  ASSERT_TRUE(DiskImager::getImageInfo(dir.file("empty.img"), info));
  EXPECT_EQ(info.requiredCapacity, 100u * 512);
  EXPECT_EQ(info.majorVersion, 2);
  EXPECT_EQ(info.minorVersion, 3);
}

TEST(ImageCapture, UsedSectorsRoundTripThroughAFile) {
  TempDir dir;
  auto source = sourceDisk();
  Rig capture(source);
  ASSERT_TRUE(capture.imager.startReadingImage(dir.file("a.img"), true, false));
  ASSERT_EQ(capture.last(), "finished");
  // Sector 0 and the 2048 sectors after it: one run, chunks of 256 sectors.
  const std::string file = readFile(dir.file("a.img"));
  ASSERT_EQ(file.size(), 90u + 8 + 2049u * 512);
  const auto* bytes = reinterpret_cast<const u8*>(file.data());
  const ImageHeader h = parseImageHeader(bytes);
  EXPECT_EQ(h.runCount, 1u);
  EXPECT_EQ(h.totalSectors, 2049u);
  EXPECT_EQ(h.highestVolumeSector, 0u);
  EXPECT_EQ(readLE32(bytes + 90), 0u);
  EXPECT_EQ(readLE32(bytes + 94), 2049u);
  EXPECT_EQ(std::memcmp(bytes + 98, source->read(0, 2049u * 512).data(), 2049u * 512), 0);
  EXPECT_EQ(capture.log->progress().back(), 100);

  DISK_IMAGE_INFO info{};
  ASSERT_TRUE(DiskImager::getImageInfo(dir.file("a.img"), info));
  EXPECT_EQ(info.requiredCapacity, 512u);  // no volume: one sector

  auto target = std::make_shared<FakeDisk>(512, 4096);
  Rig restore(target);
  int called = 0;
  ASSERT_TRUE(restore.imager.startWritingImage(dir.file("a.img"), true, false, true,
                                               [&](std::shared_ptr<IDisk> disk) {
                                                 EXPECT_EQ(disk.get(), target.get());
                                                 ++called;
                                               }));
  ASSERT_EQ(restore.last(), "finished");
  EXPECT_EQ(called, 1);
  EXPECT_EQ(target->read(0, 2049u * 512), source->read(0, 2049u * 512));
  EXPECT_EQ(target->calls().front().op, Op::Dismount);
  EXPECT_EQ(target->calls().back().op, Op::Mount);
  EXPECT_EQ(restore.log->progress(), (std::vector<int>{12, 24, 37, 49, 62, 74, 87, 99, 100}));
}

TEST(ImageCapture, WholeDriveDumpIsTheDriveByteForByte) {
  TempDir dir;
  auto source = sourceDisk(1000);
  Rig rig(source);
  ASSERT_TRUE(rig.imager.startReadingImage(dir.file("dump"), true, true));
  ASSERT_EQ(rig.last(), "finished");
  const std::string dump = readFile(dir.file("dump"));
  ASSERT_EQ(dump.size(), 1000u * 512);
  EXPECT_EQ(std::memcmp(dump.data(), source->image().data(), dump.size()), 0);
  EXPECT_EQ(rig.log->progress(), (std::vector<int>{25, 51, 76, 100}));
  DISK_IMAGE_INFO info{};
  EXPECT_FALSE(DiskImager::getImageInfo(dir.file("dump"), info));  // no reader takes a dump
}

TEST(ImageCapture, EachFailedReadEndsTheCaptureAndDeletesTheFile) {
  TempDir dir;
  for (u32 n = 1;; ++n) {
    auto source = sourceDisk();
    u32 reads = 0;
    u32 failedAt = 0;
    source->gate = [&](Op op, u32 sector, u32) {
      if (op != Op::Read || ++reads != n) return true;
      failedAt = sector;
      return false;
    };
    Rig rig(source);
    ASSERT_TRUE(rig.imager.startReadingImage(dir.file("f.img"), true, false));
    if (reads < n) {  // no n-th read: nothing failed
      EXPECT_EQ(rig.last(), "finished");
      break;
    }
    // The first read is the MBR's; every later one reads a chunk. Each failure ends the
    // capture; a failed chunk read also removes the partial file.
    EXPECT_EQ(rig.last().rfind("error 4 ", 0), 0u) << "read #" << n << ": " << rig.last();
    if (n > 1) {
      EXPECT_EQ(rig.last(), "error 4 " + std::string(vrk::SprintfFormat(
                                             "Error reading sector chunk starting at LBA %08Xh", failedAt).c_str()));
      EXPECT_FALSE(vrk::FileSystem::exists(dir.file("f.img"))) << "read #" << n;
    }
    ASSERT_LT(n, 5000u);
  }
}

TEST(ImageCapture, AbortDeletesThePartialFile) {
  TempDir dir;
  auto source = sourceDisk();
  Gate gate;
  source->gate = [&](Op, u32 sector, u32) { return sector != 256 || gate.pass(); };
  Rig rig(source);
  ASSERT_TRUE(rig.imager.startReadingImage(dir.file("a.img"), false, false));
  gate.waitUntilSomebodyWaits();
  rig.imager.abort();
  gate.open();
  rig.imager.join();
  EXPECT_EQ(rig.last(), "aborted");
  EXPECT_FALSE(vrk::FileSystem::exists(dir.file("a.img")));
}

TEST(ImageCapture, OnlyRegularFilesAreWrittenOrRemoved) {
  TempDir dir;
  Rig rig(sourceDisk());
  const std::string missing = dir.file("missing-dir/a.img");
  ASSERT_TRUE(rig.imager.startReadingImage(missing, true, false));
  EXPECT_EQ(rig.last(), "error 6 Problem accessing file \"" + missing + "\"");

  // A device, a pipe or a link to one is refused before anything is written to it.
  for (const std::string& path : specialFiles(dir.path())) {
    Rig refused(sourceDisk());
    ASSERT_TRUE(refused.imager.startReadingImage(path, true, true));
    EXPECT_EQ(refused.last(), "error 6 Problem accessing file \"" + path + "\"");
  }
  EXPECT_TRUE(specialFilesIntact(dir.path()));
}

TEST(ImageRestore, CompatibilityChecks) {
  TempDir dir;
  ImageHeader h;
  h.sectorSize = 512;
  h.highestVolumeSector = 99;  // 100 sectors required
  writeFile(dir.file("i.img"), imageBytes(h));

  Rig big(std::make_shared<FakeDisk>(4096, 100));
  try {
    big.imager.startWritingImage(dir.file("i.img"), true, false, false, nullptr);
    FAIL() << "no exception";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_INCOMPATIBLE_IMAGE);
    EXPECT_EQ(e.getMessage(),
              "Image file and device are incompatible. Image uses 512 byte sectors, whereas device uses 4096 byte "
              "sectors.");
  }
  EXPECT_TRUE(big.log->snapshot().empty());
  bool compatible = true;
  EXPECT_TRUE(big.imager.checkImageCompatibility(dir.file("i.img"), compatible, false));
  EXPECT_FALSE(compatible);

  Rig exact(std::make_shared<FakeDisk>(512, 100));
  compatible = true;
  EXPECT_TRUE(exact.imager.checkImageCompatibility(dir.file("i.img"), compatible, true));
  EXPECT_TRUE(compatible);

  Rig small(std::make_shared<FakeDisk>(512, 99));
  compatible = true;
  try {
    small.imager.checkImageCompatibility(dir.file("i.img"), compatible, false);
    FAIL() << "no exception";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_VOLUME_TOO_LARGE);
    EXPECT_EQ(e.getMessage().str().rfind("Storage device is too small for the selected image's volume:\n   Image "
                                         "Required Capacity: ",
                                         0),
              0u);
  }
  EXPECT_FALSE(compatible);

  {
    LogCapture log("vantor.DiskImager");
    small.imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
    ASSERT_TRUE(small.imager.startWritingImage(dir.file("i.img"), true, false, false, nullptr));
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].rfind("473 Storage device is too small", 0), 0u);
  }
  EXPECT_EQ(small.last(), "finished");

  Rig none(std::make_shared<FakeDisk>(512, 100));
  try {
    none.imager.startWritingImage(dir.file("missing.img"), true, false, false, nullptr);
    FAIL() << "no exception";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_INVALID_IMAGE_FILE);
    EXPECT_EQ(e.getMessage(), "Cannot read/interpret file \"" + dir.file("missing.img") + "\"");
  }
}

TEST(ImageRestore, EmptyImageDismountsCallsBackAndMounts) {
  TempDir dir;
  ImageHeader h;
  h.sectorSize = 512;
  writeFile(dir.file("e.img"), imageBytes(h));
  Rig rig(std::make_shared<FakeDisk>(512, 10));
  int called = 0;
  ASSERT_TRUE(rig.imager.startWritingImage(dir.file("e.img"), true, false, false,
                                           [&](std::shared_ptr<IDisk>) { ++called; }));
  EXPECT_EQ(rig.last(), "finished");
  EXPECT_EQ(called, 1);
  EXPECT_TRUE(rig.log->progress().empty());
  EXPECT_EQ(rig.disk->calls(), (std::vector<FakeDisk::Call>{{Op::Dismount, 0, 0}, {Op::Mount, 0, 0}}));
}

TEST(ImageRestore, DamagedImagesAreRefusedBeforeTheDriveIsTouched) {
  TempDir dir;
  ImageHeader h;
  h.sectorSize = 512;
  h.runCount = 2;
  h.totalSectors = 3;
  const std::string good = imageBytes(h, run(0, 1, 'a') + run(10, 2, 'b'));
  struct Case {
    const char* name;
    std::string bytes;
  };
  ImageHeader huge = h;
  huge.runCount = 0xFFFFFFFF;
  ImageHeader zeroTotal = h;
  zeroTotal.totalSectors = 0;
  ImageHeader badOffset = h;
  badOffset.firstRunOffset = 0xFFFFFFF0;
  const Case cases[] = {
      {"truncated in the data", good.substr(0, good.size() - 1)},
      {"truncated in a run header", good.substr(0, 90 + 8 + 512 + 4)},
      {"huge run count", imageBytes(huge, run(0, 1, 'a') + run(10, 2, 'b'))},
      {"total of zero while runs hold sectors", imageBytes(zeroTotal, run(0, 1, 'a') + run(10, 2, 'b'))},
      {"run longer than the file", imageBytes(h, run(0, 1, 'a') + run(10, 2, 'b').substr(0, 8) + "x")},
      {"first run offset past the end", imageBytes(badOffset, run(0, 1, 'a') + run(10, 2, 'b'))},
      {"bytes after the last run", good + "trailing"},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("d.img"), c.bytes);
    Rig rig(std::make_shared<FakeDisk>(512, 100));
    ASSERT_TRUE(rig.imager.startWritingImage(dir.file("d.img"), true, false, false, nullptr)) << c.name;
    EXPECT_EQ(rig.last().rfind("error 11 Damaged image file \"" + dir.file("d.img") + "\": ", 0), 0u)
        << c.name << ": " << rig.last();
    EXPECT_TRUE(rig.disk->calls().empty()) << c.name;
  }
  writeFile(dir.file("d.img"), good);
  Rig fine(std::make_shared<FakeDisk>(512, 100));
  ASSERT_TRUE(fine.imager.startWritingImage(dir.file("d.img"), true, false, false, nullptr));
  EXPECT_EQ(fine.last(), "finished");
  EXPECT_EQ(fine.disk->writes(), (std::vector<FakeDisk::Call>{{Op::Write, 0, 1}, {Op::Write, 10, 2}}));

  // Used sectors past the end of a smaller drive are refused before anything is written.
  Rig tiny(std::make_shared<FakeDisk>(512, 11));
  tiny.imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  ASSERT_TRUE(tiny.imager.startWritingImage(dir.file("d.img"), true, false, false, nullptr));
  EXPECT_EQ(tiny.last().rfind("error 7 Image holds used sectors beyond the drive capacity.", 0), 0u);
  EXPECT_TRUE(tiny.disk->calls().empty());
}

// Changes one byte of every read of the chunk starting at `sector`.
class CorruptingFilter : public IDiskDataFilter {
 public:
  explicit CorruptingFilter(u32 sector) : sector_(sector) {}
  IDiskDataFilter* clone() const override { return new CorruptingFilter(*this); }
  bool filterReadData(u32 sectorOffset, void* buffer, u32) const override {
    if (sectorOffset == sector_) static_cast<u8*>(buffer)[100] ^= 0xFF;
    return true;
  }

 private:
  u32 sector_;
};

TEST(ImageRestore, FailuresStopWithTheirMessagesAndLeaveTheDriveDismounted) {
  TempDir dir;
  ImageHeader h;
  h.sectorSize = 512;
  h.runCount = 1;
  h.totalSectors = 3000;
  writeFile(dir.file("r.img"), imageBytes(h, run(0, 3000, 'z')));
  struct Case {
    const char* name;
    std::function<void(FakeDisk&)> arrange;
    bool verify;
    std::string error;
    std::size_t writes;
  };
  const Case cases[] = {
      {"verify mismatch", [](FakeDisk& d) { d.setDataFilter(new CorruptingFilter(2048)); }, true,
       "error 5 Data mismatch during verification of sector chunk starting at LBA 00000800h", 9},
      {"write fails", [](FakeDisk& d) { d.gate = [](Op op, u32 s, u32) { return !(op == Op::Write && s == 512); }; },
       false, "error 4 Error writing sector chunk starting at LBA 00000200h", 3},
      {"read-back fails", [](FakeDisk& d) { d.gate = [](Op op, u32 s, u32) { return !(op == Op::Read && s == 256); }; },
       true, "error 4 Error reading sector chunk starting at LBA 00000100h", 2},
      {"dismount refused", [](FakeDisk& d) { d.dismountResult = false; }, false, "error 2 ", 0},
  };
  for (const Case& c : cases) {
    auto disk = std::make_shared<FakeDisk>(512, 4000);
    c.arrange(*disk);
    Rig rig(disk);
    bool called = false;
    ASSERT_TRUE(rig.imager.startWritingImage(dir.file("r.img"), true, false, c.verify,
                                             [&](std::shared_ptr<IDisk>) { called = true; }));
    EXPECT_EQ(rig.last(), c.error) << c.name;
    EXPECT_EQ(disk->writes().size(), c.writes) << c.name;
    EXPECT_FALSE(called) << c.name;
    EXPECT_NE(disk->calls().back().op, Op::Mount) << c.name;
  }
  Rig whole(std::make_shared<FakeDisk>(512, 4000));
  ASSERT_TRUE(whole.imager.startWritingImage(dir.file("r.img"), true, true, false, nullptr));
  EXPECT_EQ(whole.last(), "error 1 Currently an unsupported feature");
  EXPECT_TRUE(whole.disk->calls().empty());
}

}  // namespace
}  // namespace vantor::test

// Drives that fail: a real loop device over a FaultFs file whose reads or writes fail
// where each case says, whose reads differ from what was written, or whose daemon is
// killed mid-restore. Each operation of the public classes must end with its own error
// (never a hang) and, once its objects are gone, leave the device and its partition
// nodes free to be opened exclusively. Also an image file that the system stops growing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/MBRPartitions.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/LittleEndian.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/FaultyDrive.h"
#include "support/RecordingObserver.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"

namespace vantor {
namespace {

using test::FaultyDrive;
using test::TempDir;

constexpr u32 kDriveSectors = 65536;  // 32 MiB
constexpr u32 kVolume = 2048, kVolumeSectors = kDriveSectors - kVolume;

#define MAKE_OR_SKIP(drive, options)                                            \
  std::string why;                                                              \
  const std::unique_ptr<FaultyDrive> drive = FaultyDrive::create(options, why); \
  if (!drive) GTEST_SKIP() << why

// A drive laid out by `plan` on a disk file in `scratch`, copied in through the served file.
FaultyDrive::Options laidOut(const TempDir& scratch, std::function<void(test::FatImage&)> plan) {
  FaultyDrive::Options options;
  options.sizeBytes = u64(kDriveSectors) * FaultyDrive::SECTOR_SIZE;
  options.layout = [&scratch, plan](const std::string& served) {
    test::FatImage image(scratch.file("layout.img"), kDriveSectors);
    plan(image);
    test::runOrThrow("dd if=" + test::shellQuote(image.path()) + " of=" + test::shellQuote(served) +
                     " bs=1M conv=notrunc,sparse status=none");
  };
  return options;
}

// An MBR with one FAT16 volume holding two files.
FaultyDrive::Options fatDrive(const TempDir& scratch) {
  return laidOut(scratch, [](test::FatImage& image) {
    image.partition({{kVolume, kVolumeSectors, 0x0E, true}});
    image.format(kVolume, kVolumeSectors, 16);
    image.addFile(kVolume, "::/a.bin", 300000, 1);
    image.addFile(kVolume, "::/b.bin", 700000, 2);
  });
}

std::string lba(const char* text, u32 sector) { return vrk::SprintfFormat(text, sector).str(); }

// Runs one imaging operation on the drive, opened as a host opens it, and returns its
// closing notification, which must agree with the error the engine stored.
std::string runImager(const FaultyDrive& drive, const std::function<bool(DiskImager&)>& start) {
  DiskDevice device(drive.path(), DiskFactory::getDiskDevice(drive.path()));
  DiskImager imager(device);
  auto log = std::make_shared<test::EventLog>();
  imager.registerObserver(new test::RecordingObserver(log));
  EXPECT_TRUE(start(imager));
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  const std::string stored =
      imager.errorEncountered(code, message) ? "error " + std::to_string(code) + " " + message.str() : "finished";
  const std::string last = log->snapshot().empty() ? "nothing" : log->snapshot().back();
  EXPECT_EQ(stored, last);
  return last;
}

// The device and each of its partition nodes open with O_EXCL: nobody holds them.
::testing::AssertionResult nothingHeld(const FaultyDrive& drive) {
  std::vector<std::string> nodes{drive.path()};
  for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
    if (entry.path().string().rfind(drive.path() + "p", 0) == 0) nodes.push_back(entry.path().string());
  }
  for (const std::string& node : nodes) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return ::testing::AssertionFailure() << node << " is held: " << std::strerror(errno);
    ::close(fd);
  }
  return ::testing::AssertionSuccess();
}

// The chunks of an image file in the order a restore writes them.
struct Chunk {
  u32 lba, count;
  std::size_t offset;  // of its data in the file
};
std::vector<Chunk> chunksOf(const std::string& file) {
  const auto* bytes = reinterpret_cast<const u8*>(file.data());
  const ImageHeader header = parseImageHeader(bytes);
  std::vector<Chunk> chunks;
  std::size_t offset = header.firstRunOffset;
  for (u32 i = 0; i < header.runCount; ++i) {
    const u32 first = readLE32(bytes + offset), count = readLE32(bytes + offset + 4);
    offset += 8;
    for (u32 done = 0; done < count; done += 256) {
      chunks.push_back({first + done, std::min(256u, count - done), offset + std::size_t(done) * 512});
    }
    offset += std::size_t(count) * 512;
  }
  return chunks;
}

// A clean capture of the drive into `path`; its chunks.
std::vector<Chunk> captureClean(const FaultyDrive& drive, const std::string& path) {
  EXPECT_EQ("finished", runImager(drive, [&](DiskImager& i) { return i.startReadingImage(path, true, false); }));
  return chunksOf(test::readFile(path));
}

TEST(FailingDrive, CaptureEndsAtTheFirstFailedReadAndRemovesAPartialImage) {
  TempDir scratch;
  MAKE_OR_SKIP(drive, fatDrive(scratch));
  const std::vector<Chunk> chunks = captureClean(*drive, scratch.file("clean.img"));
  ASSERT_GT(chunks.size(), 4u);
  const Chunk& last = chunks.back();
  const auto second = std::find_if(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.lba == kVolume + 256; });
  ASSERT_NE(second, chunks.end()) << "the volume's used sectors start with a run of more than 256";
  const Chunk& secondOfVolume = *second;
  const u32 fat =
      kVolume +
      readLE16(reinterpret_cast<const u8*>(test::readFile(drive->backingFile()).data() + u64(kVolume) * 512 + 14));
  struct Case {
    const char* what;
    u32 sector;
    std::string error;
    bool mapping;  // the failure comes while the used sectors are worked out: the file is left empty
  };
  const Case cases[] = {
      {"the MBR", 0, "Failed to read MBR", true},
      {"the volume's boot sector", kVolume, "Error reading volume boot record", true},
      {"the FAT", fat + 3, "Error reading FAT table", true},
      {"inside the volume's second chunk", secondOfVolume.lba + 77,
       lba("Error reading sector chunk starting at LBA %08Xh", secondOfVolume.lba), false},
      {"the last used sector", last.lba + last.count - 1,
       lba("Error reading sector chunk starting at LBA %08Xh", last.lba), false},
  };
  for (const Case& c : cases) {
    const std::string image = scratch.file("failed.img");
    ASSERT_TRUE(drive->arm("fail read" + FaultyDrive::sectors(c.sector)));
    EXPECT_EQ("error 4 " + c.error,
              runImager(*drive, [&](DiskImager& i) { return i.startReadingImage(image, true, false); }))
        << c.what;
    EXPECT_EQ(c.mapping, std::filesystem::exists(image) && std::filesystem::file_size(image) == 0) << c.what;
    EXPECT_TRUE(c.mapping || !std::filesystem::exists(image)) << c.what << ": the partial image is removed";
    EXPECT_TRUE(nothingHeld(*drive)) << c.what;
    std::filesystem::remove(image);
    ASSERT_TRUE(drive->arm("clear"));
  }
}

TEST(FailingDrive, RestoreEndsAtTheFailingChunkWithEveryEarlierChunkOnTheDrive) {
  TempDir scratch;
  MAKE_OR_SKIP(drive, fatDrive(scratch));
  const std::string imagePath = scratch.file("clean.img");
  const std::vector<Chunk> chunks = captureClean(*drive, imagePath);
  ASSERT_GT(chunks.size(), 4u);
  const std::string image = test::readFile(imagePath);
  struct Case {
    const char* what;
    std::size_t chunk;  // index of the chunk that fails
    std::string fault;  // at sector 5 of that chunk
    bool verify;
    const char* error;
    bool failingChunkWritten;
  };
  const Case cases[] = {
      {"write fails", 3, "fail write", false, "error 4 Error writing sector chunk starting at LBA %08Xh", false},
      {"read-back differs", 2, "corrupt", true,
       "error 5 Data mismatch during verification of sector chunk starting at LBA %08Xh", true},
      {"read-back fails", 4, "fail read", true, "error 4 Error reading sector chunk starting at LBA %08Xh", true},
  };
  for (const Case& c : cases) {
    std::filesystem::resize_file(drive->backingFile(), 0);  // a blank drive
    std::filesystem::resize_file(drive->backingFile(), u64(kDriveSectors) * 512);
    const Chunk& failing = chunks[c.chunk];
    ASSERT_TRUE(drive->arm(c.fault + FaultyDrive::sectors(failing.lba + 5)));
    EXPECT_EQ(lba(c.error, failing.lba),
              runImager(*drive,
                        [&](DiskImager& i) { return i.startWritingImage(imagePath, true, false, c.verify, nullptr); }))
        << c.what;
    EXPECT_TRUE(nothingHeld(*drive)) << c.what;
    ASSERT_TRUE(drive->arm("clear"));

    // The chunks before the failing one are on the drive, those after it are not.
    const std::string disk = test::readFile(drive->backingFile());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const Chunk& k = chunks[i];
      if (i == c.chunk && !c.failingChunkWritten) continue;
      const bool written = i <= c.chunk;
      const std::string expected = written ? image.substr(k.offset, k.count * 512u) : std::string(k.count * 512u, '\0');
      EXPECT_TRUE(disk.compare(u64(k.lba) * 512, k.count * 512u, expected) == 0)
          << c.what << ": chunk at " << k.lba << (written ? " not written" : " written");
    }
  }
}

TEST(FailingDrive, ZeroingEndsAtTheFirstFailedWrite) {
  TempDir scratch;
  MAKE_OR_SKIP(drive, fatDrive(scratch));
  const std::string faults[] = {"fail write" + FaultyDrive::sectors(8192), "fail-after write 10",
                                "fail write" + FaultyDrive::sectors(kDriveSectors - 1)};
  for (const std::string& fault : faults) {
    ASSERT_TRUE(drive->arm(fault));
    EXPECT_EQ("error 4 Failed to write sector block.",
              runImager(*drive, [](DiskImager& i) { return i.startZeroingDisk(true, boost::none); }))
        << fault;
    EXPECT_TRUE(nothingHeld(*drive)) << fault;
    ASSERT_TRUE(drive->arm("clear"));
  }
}

TEST(FailingDrive, PartitionAndBootKeyWritesFailWithTheirErrorsAndLeaveSector0AsItWas) {
  TempDir scratch;
  MAKE_OR_SKIP(drive, laidOut(scratch, [](test::FatImage& image) {
                 image.partition({{kVolume, 20480, 0x06}, {kVolume + 20480, 40960, 0x0C}});
               }));
  const auto sector0 = [&] { return test::readFile(drive->backingFile()).substr(0, 512); };
  const std::string table = sector0();
  const auto open = [&] { return DiskFactory::getDiskDevice(drive->path()); };

  // Storing the backup sector: a failed write leaves no backup behind.
  {
    auto disk = open();
    const auto backup = MBRPartitions(disk).createBackupMBRPartitionsSector();
    ASSERT_TRUE(drive->arm("fail write" + FaultyDrive::sectors(backup.first)));
    EXPECT_FALSE(disk->writeSectors(backup.first, backup.second.data(), 1));
    ASSERT_TRUE(drive->arm("clear"));
    EXPECT_FALSE(MBRPartitions(disk).backupPartitionTable());
    ASSERT_TRUE(disk->writeSectors(backup.first, backup.second.data(), 1));
    ASSERT_TRUE(MBRPartitions(disk).backupPartitionTable());
  }
  EXPECT_TRUE(nothingHeld(*drive));

  test::writeFile(scratch.file("loader.bin"), std::string("VRK\x01\x00", 5) + std::string(995, '\x11'));
  test::writeFile(scratch.file("payload.bin"), std::string(5000, '\x22'));
  using Act = std::function<void(std::shared_ptr<IDisk>, const std::function<void()>& arm)>;
  struct Case {
    const char* what;
    std::string fault;
    Act act;  // calls arm() where the fault is to come into force
    VantorErrorCodes code;
    const char* message;
  };
  const Case cases[] = {
      {"reading the table", "fail read" + FaultyDrive::sectors(0),
       [](auto disk, auto& arm) {
         arm();
         MBRPartitions parts(disk);
       },
       ERR_DISK_ACCESS, "Could not access MBR."},
      {"exposing a backup entry: the read", "fail read" + FaultyDrive::sectors(0),
       [](auto disk, auto& arm) {
         MBRPartitions parts(disk);
         arm();
         parts.selectBackupPartition(1);
       },
       ERR_DISK_ACCESS, "Could not read MBR."},
      {"exposing a backup entry: the write", "fail write" + FaultyDrive::sectors(0),
       [](auto disk, auto& arm) {
         MBRPartitions parts(disk);
         arm();
         parts.selectBackupPartitionByType("legacy");
       },
       ERR_DISK_ACCESS, "Could not write MBR."},
      {"exposing every backup entry", "fail-after write 0",
       [](auto disk, auto& arm) {
         MBRPartitions parts(disk);
         arm();
         parts.restoreBackupPartitions();
       },
       ERR_DISK_ACCESS, "Could not write MBR."},
      {"formatting a boot key", "fail write" + FaultyDrive::sectors(5),
       [&](auto disk, auto& arm) {
         DiskDevice device(drive->path(), disk);
         arm();
         OxbowKeyFormatter(device).format(scratch.file("loader.bin"), scratch.file("payload.bin"), 0x1000, 0, nullptr);
       },
       ERR_DISK_ACCESS, "Error writing sectors 00000000h to 0000000Bh"},
      {"resetting a boot key", "fail write" + FaultyDrive::sectors(1023),
       [&](auto disk, auto& arm) {
         DiskDevice device(drive->path(), disk);
         arm();
         OxbowKeyFormatter(device).resetKey();
       },
       ERR_DISK_ACCESS, "Error writing sectors 00000000h to 000003FFh"},
  };
  for (const Case& c : cases) {
    const std::function<void()> arm = [&] { ASSERT_TRUE(drive->arm(c.fault)); };
    EXPECT_TRUE(test::throwsVantor([&] { c.act(open(), arm); }, c.code, c.message)) << c.what;
    EXPECT_TRUE(nothingHeld(*drive)) << c.what;
    ASSERT_TRUE(drive->arm("clear"));
    EXPECT_EQ(table, sector0()) << c.what;
  }
}

TEST(FailingDrive, DriveThatDisappearsMidRestoreEndsTheRestoreWithAnError) {
  TempDir scratch;
  MAKE_OR_SKIP(drive, fatDrive(scratch));
  const std::string imagePath = scratch.file("clean.img");
  const std::vector<Chunk> chunks = captureClean(*drive, imagePath);
  ASSERT_GT(chunks.size(), 4u);
  const u32 held = chunks[3].lba;
  ASSERT_TRUE(drive->arm("stall write" + FaultyDrive::sectors(held)));
  {
    DiskDevice device(drive->path(), DiskFactory::getDiskDevice(drive->path()));
    DiskImager imager(device);
    auto log = std::make_shared<test::EventLog>();
    imager.registerObserver(new test::RecordingObserver(log));
    ASSERT_TRUE(imager.startWritingImage(imagePath, false, false, true, nullptr));
    const auto waitUntil = [](const std::function<bool()>& condition, int seconds) {
      for (int i = 0; i < seconds * 20 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return condition();
    };
    ASSERT_TRUE(waitUntil([&] { return drive->stalledRequests() == 1; }, 30)) << "the restore never reached the chunk";
    drive->killDaemon();
    ASSERT_TRUE(waitUntil([&] { return imager.done(); }, 60)) << "the restore hangs on a drive that is gone";
    imager.join();
    EXPECT_EQ(lba("error 4 Error writing sector chunk starting at LBA %08Xh", held), log->snapshot().back());
  }
  EXPECT_TRUE(nothingHeld(*drive));
}

TEST(FailingImageFile, AWriteTheSystemRefusesEndsTheCaptureNamingTheFileAndTheReason) {
  // Files of this process may not grow past 4 KiB while the capture runs; a write past
  // that fails with EFBIG instead of raising SIGXFSZ.
  struct FileSizeLimit {
    rlimit before{};
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    FileSizeLimit() {
      ::getrlimit(RLIMIT_FSIZE, &before);
      const rlimit limit{4096, before.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
      ::setrlimit(RLIMIT_FSIZE, &before);
      std::signal(SIGXFSZ, handler);
    }
  };
  TempDir scratch;
  const std::string image = scratch.file("big.img");
  DiskDevice device("fake", std::make_shared<test::FakeDisk>(512, 64));
  DiskImager imager(device);
  auto log = std::make_shared<test::EventLog>();
  imager.registerObserver(new test::RecordingObserver(log));
  {
    const FileSizeLimit limit;
    ASSERT_TRUE(imager.startReadingImage(image, true, true));
  }
  EXPECT_EQ("error 6 Error writing image file \"" + image + "\": " + std::strerror(EFBIG), log->snapshot().back());
}

}  // namespace
}  // namespace vantor

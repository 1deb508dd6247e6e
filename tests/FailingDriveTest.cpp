// Drives that fail: a real loop device over the "disk" file of a FaultFs daemon
// (support/posix/FaultFs.cpp) whose reads or writes fail where each case says, whose
// reads differ from what was written, or which dies mid-restore. Each operation of the
// public classes must end with its own error (never a hang) and, once its objects are
// gone, leave the device and its partition node free to be opened exclusively. Also an
// image file that the system stops growing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>

#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/LoopDevice.h"
#include "support/RecordingObserver.h"
#include "support/TempDir.h"

namespace vantor {
namespace {

constexpr u32 kDriveSectors = 65536;  // 32 MiB
constexpr u32 kVolume = 2048;         // the first chunks of its used sectors start here, 256 sectors apart

std::string lba(const char* text, u32 sector) { return vrk::SprintfFormat(text, sector).str(); }

// Runs one imaging operation to its end and returns its closing notification, which must
// agree with the error the engine stored.
std::string runImager(std::shared_ptr<IDisk> disk, const std::function<bool(DiskImager&)>& start) {
  DiskDevice device("drive", std::move(disk));
  DiskImager imager(device);
  auto log = std::make_shared<test::EventLog>();
  imager.registerObserver(new test::RecordingObserver(log));
  EXPECT_TRUE(start(imager));
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  const std::string stored =
      imager.errorEncountered(code, message) ? "error " + std::to_string(code) + " " + message.str() : "finished";
  EXPECT_EQ(stored, log->snapshot().back());
  return stored;
}

// A drive of an MBR with one FAT16 volume holding two files, its bytes in `backing`,
// served by FaultFs at `mnt`. Whatever happens, the loop device is detached and the FUSE
// mount taken down (lazily if still busy), which ends the daemon.
class FailingDrive : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef VANTOR_FAULTFS
    GTEST_SKIP() << "built without libfuse3 (scripts/setup.sh installs libfuse3-dev and fuse3)";
#else
    if (!test::isRoot() || ::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "FUSE and loop devices need root";
    test::FatImage image(backing, kDriveSectors);
    image.partition({{kVolume, kDriveSectors - kVolume, 0x0E, true}});
    image.format(kVolume, kDriveSectors - kVolume, 16);
    image.addFile(kVolume, "::/a.bin", 300000, 1);
    image.addFile(kVolume, "::/b.bin", 700000, 2);
    std::filesystem::create_directory(mnt);
    ASSERT_EQ(0, test::run(test::shellQuote(VANTOR_FAULTFS) + " " + test::shellQuote(backing) + " " + test::shellQuote(mnt)));
    mounted = true;
    std::string why;
    loop = test::LoopDevice::attach(mnt + "/disk", 512, why);
    ASSERT_TRUE(loop) << why;
#endif
  }
  ~FailingDrive() override {
    loop.reset();
    const std::string quoted = test::shellQuote(mnt);
    if (mounted) (void)test::run("umount " + quoted + " 2>/dev/null || umount -l " + quoted);
  }
  // The daemon's rule from now on (see FaultFs): `what` for the sector `sector`.
  void arm(const std::string& what, u32 sector) const {
    test::writeFile(backing + ".new", what + " " + std::to_string(u64(sector) * 512) + " 512");
    std::filesystem::rename(backing + ".new", backing + ".faults");  // never seen half written
  }
  std::shared_ptr<IDisk> open() const { return DiskFactory::getDiskDevice(loop->path()); }

  // The device and its partition node (where it still is) open with O_EXCL: nobody holds them.
  ::testing::AssertionResult nothingHeld() const {
    for (const std::string& node : {loop->path(), loop->path() + "p1"}) {
      const int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
      if (fd < 0 && errno != ENOENT) return ::testing::AssertionFailure() << node << " is held: " << std::strerror(errno);
      if (fd >= 0) ::close(fd);
    }
    return ::testing::AssertionSuccess();
  }

  test::TempDir scratch;
  const std::string backing = scratch.file("backing.img"), mnt = scratch.file("mnt");
  bool mounted = false;
  std::unique_ptr<test::LoopDevice> loop;
};

TEST_F(FailingDrive, CaptureEndsAtTheFailedReadAndRemovesAPartialImage) {
  struct Case {
    u32 sector;
    std::string error;
    bool mapping;  // the failure comes while the used sectors are worked out: the file is left empty
  };
  const Case cases[] = {
      {0, "Failed to read MBR", true},
      {kVolume + 256 + 77, lba("Error reading sector chunk starting at LBA %08Xh", kVolume + 256), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sector);
    const std::string image = scratch.file("failed.img");
    arm("read", c.sector);
    EXPECT_EQ("error 4 " + c.error, runImager(open(), [&](DiskImager& i) {
      return i.startReadingImage(image, true, false);
    }));
    EXPECT_EQ(c.mapping, std::filesystem::exists(image) && std::filesystem::file_size(image) == 0);
    EXPECT_TRUE(c.mapping || !std::filesystem::exists(image)) << "the partial image is removed";
    EXPECT_TRUE(nothingHeld());
    std::filesystem::remove(image);
  }
}

TEST_F(FailingDrive, RestoreEndsAtTheFailingChunkWithEveryEarlierChunkOnTheDrive) {
  const std::string imagePath = scratch.file("clean.img");
  ASSERT_EQ("finished", runImager(open(), [&](DiskImager& i) { return i.startReadingImage(imagePath, true, false); }));
  const std::string original = test::readFile(backing);
  struct Case {
    const char* rule;  // at sector 5 of the chunk
    u32 chunk;
    bool verify;
    const char* error;
    bool failingChunkWritten;
  };
  const Case cases[] = {
      {"write", kVolume + 256, false, "error 4 Error writing sector chunk starting at LBA %08Xh", false},
      {"corrupt", kVolume + 512, true, "error 5 Data mismatch during verification of sector chunk starting at LBA %08Xh",
       true},
      {"read", kVolume + 768, true, "error 4 Error reading sector chunk starting at LBA %08Xh", true},
      // The drive goes away: every later request fails at once. Last, since it stays gone.
      {"vanish", kVolume + 1024, true, "error 4 Error writing sector chunk starting at LBA %08Xh", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    std::filesystem::resize_file(backing, 0);  // a blank drive
    std::filesystem::resize_file(backing, u64(kDriveSectors) * 512);
    arm(c.rule, c.chunk + 5);
    EXPECT_EQ(lba(c.error, c.chunk), runImager(open(), [&](DiskImager& i) {
      return i.startWritingImage(imagePath, true, false, c.verify, nullptr);
    }));
    EXPECT_TRUE(nothingHeld());
    // The chunks before the failing one are on the drive, those after it are not.
    const std::string disk = test::readFile(backing);
    const std::size_t end = std::size_t(c.chunk + (c.failingChunkWritten ? 256 : 0)) * 512;
    EXPECT_TRUE(disk.compare(0, end, original, 0, end) == 0);
    EXPECT_EQ(std::string::npos, disk.find_first_not_of('\0', std::size_t(c.chunk + 256) * 512));
  }
}

TEST_F(FailingDrive, ZeroingEndsAtTheFirstFailedWrite) {
  for (const u32 sector : {8192u, kDriveSectors - 1}) {
    arm("write", sector);
    EXPECT_EQ("error 4 Failed to write sector block.",
              runImager(open(), [](DiskImager& i) { return i.startZeroingDisk(true, boost::none); }))
        << sector;
    EXPECT_TRUE(nothingHeld()) << sector;
  }
}

TEST(FailingImageFile, AWriteTheSystemRefusesEndsTheCaptureNamingTheFileAndTheReason) {
  test::TempDir scratch;
  const std::string image = scratch.file("big.img");
  // Files of this process may not grow past 4 KiB while the capture runs; a write past
  // that fails with EFBIG instead of raising SIGXFSZ.
  rlimit before{};
  ::getrlimit(RLIMIT_FSIZE, &before);
  const rlimit limit{4096, before.rlim_max};
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const std::string last =
      runImager(std::make_shared<test::FakeDisk>(512, 64), [&](DiskImager& i) { return i.startReadingImage(image, true, true); });
  ::setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ("error 6 Error writing image file \"" + image + "\": " + std::strerror(EFBIG), last);
}

}  // namespace
}  // namespace vantor

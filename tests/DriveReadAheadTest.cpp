// A drive answering runs of single-sector reads (the scan of the gap after the MBR) from
// a block read ahead: the bytes are the drive's own, a write is read back from the drive,
// and a sector that cannot be read still ends the scan where it did. This program is
// linked with read(2) wrapped, so that a test can count the drive's reads or fail the
// ones that cover one byte of it; Linux only (loop devices).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <libVantor/WinDiskDevice.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/SectorMap.h>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace {
dev_t watchedDevice = 0;  // the loop device whose reads are counted (0: none)
int readsSeen = 0;
off_t failingByte = -1;  // a read of the watched device that covers this byte fails with EIO
}  // namespace

extern "C" ssize_t __real_read(int fd, void* buffer, size_t count);
extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count) {
  struct stat st;
  if (watchedDevice != 0 && fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == watchedDevice) {
    ++readsSeen;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (failingByte >= at && failingByte < at + static_cast<off_t>(count)) {
      errno = EIO;
      return -1;
    }
  }
  return __real_read(fd, buffer, count);
}

namespace vantor {
namespace {

constexpr u32 SECTORS = 4096;  // a 2 MiB drive

struct ReadAheadDrive : ::testing::Test {
  void SetUp() override {
    std::string image(std::size_t(SECTORS) * 512, '\0');
    for (u32 s = 1; s < SECTORS; ++s) std::memcpy(&image[std::size_t(s) * 512], &s, sizeof s);
    // An MBR with one partition at sector 2048: sectors 1-2047 are the gap.
    image[446 + 4] = 0x0C;
    const u32 start = 2048, count = SECTORS - 2048;
    std::memcpy(&image[446 + 8], &start, 4);
    std::memcpy(&image[446 + 12], &count, 4);
    image[510] = 0x55;
    image[511] = static_cast<char>(0xAA);
    test::writeFile(dir.file("disk.img"), image);
    std::string whyNot;
    loop = test::LoopDevice::attach(dir.file("disk.img"), 512, whyNot, false, false);
    if (!loop) GTEST_SKIP() << whyNot;
    struct stat st;
    ASSERT_EQ(stat(loop->path().c_str(), &st), 0);
    drive = std::make_unique<WinDiskDevice>(loop->path().c_str());
    watchedDevice = st.st_rdev;
    readsSeen = 0;
  }
  void TearDown() override {
    watchedDevice = 0;
    failingByte = -1;
    drive.reset();
  }
  u32 numberIn(u32 sector) {
    u32 n = 0xFFFFFFFF;
    EXPECT_TRUE(drive->readSectors(sector, buffer.get(), 1)) << sector;
    std::memcpy(&n, buffer.get(), sizeof n);
    return n;
  }

  test::TempDir dir;
  std::unique_ptr<test::LoopDevice> loop;
  std::unique_ptr<WinDiskDevice> drive;
  DiskBufferPointer buffer{512};
};

TEST_F(ReadAheadDrive, ARunOfSingleSectorsIsTheDrivesOwnBytesInFewReadsUpToTheLastSector) {
  for (u32 s = 1; s < SECTORS; ++s) ASSERT_EQ(numberIn(s), s);
  EXPECT_LT(readsSeen, 80);  // 4095 sectors in blocks of 128, and not one read each
  EXPECT_FALSE(drive->readSectors(SECTORS, buffer.get(), 1));  // past the end: refused, as before
}

TEST_F(ReadAheadDrive, ASectorWrittenInsideTheBlockReadAheadIsReadBackFromTheDrive) {
  ASSERT_EQ(numberIn(10), 10u);
  ASSERT_EQ(numberIn(11), 11u);  // the block now holds 11 to 138
  const u32 written = 0xC0FFEE;
  std::memcpy(buffer.get(), &written, sizeof written);
  ASSERT_TRUE(drive->writeSectors(12, buffer.get(), 1));
  EXPECT_EQ(numberIn(12), written);
  EXPECT_EQ(numberIn(13), 13u);
}

TEST_F(ReadAheadDrive, TheGapScanStillStopsQuietlyAtTheFirstSectorThatCannotBeRead) {
  failingByte = 5 * 512 + 100;  // fails every read that covers sector 5, the blocks too
  DiskBufferPointer mbr(512);
  ASSERT_TRUE(drive->readSectors(0, mbr.get(), 1));
  PARTITION_TABLE_ENTRY entries[4];
  std::memcpy(entries, mbr.get() + 446, sizeof entries);
  SectorMap map;
  addSectorRange(map, makeSectorRange(0, 1));
  findUsedSectorsAfterMbr(*drive, entries, map);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].firstSector, 0u);
  EXPECT_EQ(map[0].lastSector, 4u);
}

}  // namespace
}  // namespace vantor

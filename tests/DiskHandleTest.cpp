// What the disks over a system handle add to the contract every disk keeps
// (DiskContractTest): who owns the handle, how a disk file is sized and where a relative
// path leads, the system error in the records of failed transfers, and LBA/CHS conversion.
#include <gtest/gtest.h>

#include <filesystem>

#include <libVantor/WinDisk.h>
#include <libVantor/WinDiskFile.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/LogCapture.h"
#include "support/SystemHandles.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

TEST(DiskFile, SizesTheFileAsAsked) {
  TempDir dir;
  const std::string ab = std::string(1024, 'a') + std::string(1024, 'b'), missing = "-";
  struct Case {
    std::string before;  // "-" for a missing file
    WinDiskFile::CreateDisposition disposition;
    u64 sizeBytes;
    bool open;
    std::string after;  // "-" for a missing file
  };
  const Case cases[] = {
      {ab, WinDiskFile::OpenExisting, 1024, true, std::string(1024, 'a')},
      {ab, WinDiskFile::OpenAlways, 4096, true, ab + std::string(2048, '\0')},
      {missing, WinDiskFile::OpenAlways, 0, true, ""},
      {missing, WinDiskFile::OpenExisting, 512, false, missing},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("disk");
    SCOPED_TRACE(c.before.size() + c.sizeBytes);
    std::filesystem::remove(path);
    if (c.before != missing) writeFile(path, c.before);
    WinDiskFile disk(path, c.disposition, 512, c.sizeBytes);
    EXPECT_EQ(disk.isOpen(), c.open);
    EXPECT_EQ(disk.getSizeBytes(), c.sizeBytes);
    EXPECT_TRUE(c.after == missing ? !std::filesystem::exists(path) : readFile(path) == c.after);
  }
}

TEST(DiskFile, RelativePathsStartAtTheProgramsDirectory) {
  const std::string name = "vantor-relative-test-disk.bin";
  const std::string expected = vrk::System::getApplicationDirectory().str() + "/" + name;
  std::filesystem::remove(expected);
  { WinDiskFile disk("./sub/../" + name, WinDiskFile::OpenAlways, 512, 1024); }
  EXPECT_EQ(std::filesystem::exists(expected) ? std::filesystem::file_size(expected) : 0, 1024u);
  std::filesystem::remove(expected);
}

// Requests of 4 GiB and more are refused before anything moves; failed transfers are
// logged with the system's error, read right after the failed call.
TEST(DiskHandle, FailedTransfersAreLoggedWithTheSystemError) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(4096, 'x'));
  LogCapture log("vantor.WinDisk");
  {
    u8 sector[512];  // never touched by the refused requests of 4 GiB
    WinDisk writable(openHandle(dir.file("disk"), Access::ReadWrite), 512, 4096);
    EXPECT_FALSE(writable.writeSectors(0, sector, (1u << 23) + 1));
    EXPECT_FALSE(writable.readSectors(0, sector, 1u << 23));
    EXPECT_TRUE(readFile(dir.file("disk")) == std::string(4096, 'x'));
    WinDisk readOnly(openHandle(dir.file("disk"), Access::ReadOnly), 512, 4096);
    EXPECT_FALSE(readOnly.writeSectors(0x10, sector, 2));
    WinDisk directory(openHandle(dir.path(), Access::Directory), 512, 4096);
    EXPECT_FALSE(directory.readSectors(0, sector, 1));
    EXPECT_FALSE(readOnly.readSectors(7, sector, 2)) << "runs past the end: short, no system error";
  }
  const std::vector<std::string> expected = {
      "106 Error writing to disk device. (sectorOffset:00000010h sectorCount:00000002h errorCode:" +
          std::to_string(systemError(Failure::WriteOnReadOnly)) + ")",
      "84 Error reading from disk device. (sectorOffset:00000000h sectorCount:00000001h errorCode:" +
          std::to_string(systemError(Failure::ReadOnDirectory)) + ")",
      "84 Error reading from disk device. (sectorOffset:00000007h sectorCount:00000002h errorCode:0)"};
  EXPECT_EQ(log.records(), expected);
}

// A disk keeps a duplicate of the handle it is given; clones and assigned disks get their
// own; a moved-from disk is closed.
TEST(DiskHandle, EachDiskOwnsItsHandle) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(2048, 'q'));
  u8 sector[512];
  std::unique_ptr<WinDisk> clone;
  {
    WinDisk source(openHandle(dir.file("disk"), Access::ReadWrite), 512, 2048);
    clone.reset(source.clone());
    EXPECT_NE(clone->getHandle().get(), source.getHandle().get());
  }
  WinDisk moved(std::move(*clone));
  EXPECT_FALSE(clone->isOpen());
  WinDisk assigned;
  assigned = moved;
  EXPECT_NE(assigned.getHandle().get(), moved.getHandle().get());
  moved = WinDisk();
  EXPECT_TRUE(assigned.readSectors(1, sector, 1));
}

TEST(DiskAddressing, ConvertsBetweenLbaAndChsByTheGeometry) {
  FakeDisk disk(512, 100, DiskGeometry{1024, 255, 63, 512});
  struct Case {
    u64 lba;
    boost::optional<CHSAddress> chs;
  };
  const Case cases[] = {
      {0, CHSAddress{0, 0, 1}},
      {62 + 16065, CHSAddress{1, 0, 63}},
      {63, CHSAddress{0, 1, 1}},
      {1024ull * 16065 - 1, CHSAddress{1023, 254, 63}},  // the last sector of the geometry
      {1024ull * 16065, boost::none},                    // past it
      {(1ull << 32) + 5, boost::none},                   // not cut to 32 bits
  };
  for (const Case& c : cases) {
    const auto got = disk.getCHSAddressFromLBA(c.lba, true);
    EXPECT_EQ(got.has_value(), c.chs.has_value()) << c.lba;
    if (got && c.chs) {
      EXPECT_EQ(*got, *c.chs) << c.lba;
      EXPECT_EQ(disk.getLBAAddressFromCHS(*got).value_or(~0ull), c.lba);
    }
  }
  EXPECT_FALSE(disk.getCHSAddressFromLBA(1024ull * 16065, false)) << "non-strict gives no address either";
  FakeDisk noGeometry(512, 100);
  EXPECT_FALSE(noGeometry.getCHSAddressFromLBA(0, true));
  EXPECT_EQ(noGeometry.getLBAAddressFromCHS(CHSAddress{1, 2, 3}).value_or(99), 0u);
  FakeDisk zeroHeads(512, 100, DiskGeometry{10, 0, 63, 512});
  EXPECT_FALSE(zeroHeads.getCHSAddressFromLBA(0, true));
}

}  // namespace
}  // namespace vantor::test

// What every disk promises, run over each kind: the fake disk, a disk file, and a drive
// (a loop device; skipped where none can be made). Sizes, transfers that move exactly
// the sectors asked, requests past the end refused, no volumes to hold, and the data
// filter seeing reads after and writes before the medium, a copy owning its own. Then
// what the disks over a system handle add: who owns the handle, how a disk file is sized
// and where a relative path leads, the system error in the records of failed transfers;
// and LBA/CHS conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <tuple>
#include <type_traits>

#include <libVantor/DiskFileLock.h>
#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

constexpr u32 SECTORS = 4096;  // 2 MiB of 512-byte sectors

// Flips the first byte of every read; vetoes every transfer unless it passes.
struct FlippingFilter : IDiskDataFilter {
  explicit FlippingFilter(bool passes) : pass(passes) {}
  IDiskDataFilter* clone() const override { return new FlippingFilter(*this); }
  bool filterReadData(u32, void* buffer, u32) const override {
    static_cast<u8*>(buffer)[0] ^= 0xFF;
    return pass;
  }
  bool filterWriteData(u32, const void*, u32) override { return pass; }
  bool pass;
};

// `count` sectors of a pattern that differs per sector and per seed.
DiskBufferPointer pattern(u32 count, u8 seed) {
  DiskBufferPointer b(u64(count) * 512);
  for (u64 i = 0; i < u64(count) * 512; ++i) b.get()[i] = static_cast<u8>(i * 31 + i / 512 + seed);
  return b;
}

bool holds(IDisk& d, u32 sector, const DiskBufferPointer& want, u32 count) {
  DiskBufferPointer got(u64(count) * 512);
  return d.readSectors(sector, got.get(), count) && std::memcmp(got.get(), want.get(), u64(count) * 512) == 0;
}

template <class Kind>
class DiskContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::is_same_v<Kind, FakeDisk>) {
      auto fake = std::make_unique<FakeDisk>(512, SECTORS);
      fake->setStrict(false);  // requests past the end are probed on purpose
      disk = std::move(fake);
    } else if constexpr (std::is_same_v<Kind, WinDiskFile>) {
      disk = std::make_unique<WinDiskFile>(dir.file("disk"), WinDiskFile::OpenAlways, 512, u64(SECTORS) * 512);
    } else {
      std::string why;
      loop = LoopDevice::create(dir.path(), {u64(SECTORS) * 512, 512, ""}, why);
      if (!loop) GTEST_SKIP() << why;
      disk = std::make_unique<Kind>(loop->path());
    }
  }
  TempDir dir;
  std::shared_ptr<LoopDevice> loop;  // (a shared pointer: no Windows build of the test needs ~LoopDevice)
  std::unique_ptr<IDisk> disk;
};

// Drives only on Linux, as loop devices: elsewhere a drive would be a real one.
#if defined(_WIN32)
using Kinds = ::testing::Types<FakeDisk, WinDiskFile>;
#else
using Kinds = ::testing::Types<FakeDisk, WinDiskFile, WinDiskDevice>;
#endif
TYPED_TEST_SUITE(DiskContract, Kinds);

TYPED_TEST(DiskContract, TransfersMoveExactlyTheSectorsAskedAndNothingPastTheEnd) {
  IDisk& d = *this->disk;
  EXPECT_EQ(d.getSectorSize(), 512u);
  EXPECT_EQ(d.getSizeSectors(), SECTORS);
  EXPECT_EQ(d.getSizeBytes(), u64(SECTORS) * 512);
  DiskBufferPointer zeros(512);
  // A run across a chunk-sized boundary, one sector, the last sector.
  const struct { u32 sector, count; } runs[] = {{250, 10}, {1, 1}, {SECTORS - 1, 1}};
  for (const auto& r : runs) {
    const DiskBufferPointer data = pattern(r.count, static_cast<u8>(r.sector));
    ASSERT_TRUE(d.writeSectors(r.sector, data.get(), r.count)) << r.sector;
    EXPECT_TRUE(holds(d, r.sector, data, r.count)) << r.sector;
  }
  for (const u32 untouched : {0u, 249u, 260u}) EXPECT_TRUE(holds(d, untouched, zeros, 1)) << untouched;
  EXPECT_TRUE(d.readSectors(5, zeros.get(), 0)) << "zero sectors: nothing to move";

  DiskBufferPointer buffer = pattern(2, 9);
  EXPECT_FALSE(d.readSectors(SECTORS, buffer.get(), 1));
  EXPECT_FALSE(d.readSectors(SECTORS - 1, buffer.get(), 2));
  if constexpr (!std::is_same_v<TypeParam, WinDiskFile>) {  // a disk file grows instead
    EXPECT_FALSE(d.writeSectors(SECTORS - 1, buffer.get(), 2));
    EXPECT_EQ(d.getSizeSectors(), SECTORS);
  }
  // Without volumes every volume operation succeeds.
  vrk::Array<vrk::String> mountPoints;
  d.getMountPoints(mountPoints);
  EXPECT_TRUE(mountPoints.empty());
  EXPECT_TRUE(d.lockDrive() && d.unlockDrive() && d.dismountDrive() && d.mountDrive());
}

TYPED_TEST(DiskContract, FilterSeesReadsAfterAndWritesBeforeTheMedium) {
  IDisk& d = *this->disk;
  d.setDataFilter(new FlippingFilter(true));
  DiskBufferPointer data = pattern(1, 3), back(512);
  ASSERT_TRUE(d.writeSectors(7, data.get(), 1));
  ASSERT_TRUE(d.readSectors(7, back.get(), 1));
  EXPECT_EQ(back.get()[0], u8(data.get()[0] ^ 0xFF)) << "the filter sees, and may change, what was read";
  std::unique_ptr<IDisk> copy(d.clone());
  EXPECT_NE(copy->getDataFilter(), d.getDataFilter()) << "each copy owns a filter of its own";
  d.setDataFilter(new FlippingFilter(false));
  const DiskBufferPointer other = pattern(1, 4);
  EXPECT_FALSE(d.writeSectors(7, other.get(), 1));
  EXPECT_FALSE(d.readSectors(7, back.get(), 1));
  d.setDataFilter(nullptr);
  EXPECT_TRUE(holds(d, 7, data, 1)) << "a vetoed write never reaches the medium";
}

TEST(DiskFile, SizesTheFileAsAskedWhereARelativePathStartsAtTheProgramsDirectory) {
  TempDir dir;
  const std::string ab = std::string(1024, 'a') + std::string(1024, 'b'), missing = "-";
  // {the file before ("-": missing), how it is opened, the size asked, the file after
  // ("-": missing, and the disk is not open)}
  const std::tuple<std::string, WinDiskFile::CreateDisposition, u64, std::string> cases[] = {
      {ab, WinDiskFile::OpenExisting, 1024, std::string(1024, 'a')},
      {ab, WinDiskFile::OpenAlways, 4096, ab + std::string(2048, '\0')},
      {missing, WinDiskFile::OpenAlways, 0, ""},
      {missing, WinDiskFile::OpenExisting, 512, missing},
  };
  for (const auto& [before, disposition, sizeBytes, after] : cases) {
    const std::string path = dir.file("disk");
    SCOPED_TRACE(before.size() + sizeBytes);
    std::filesystem::remove(path);
    if (before != missing) writeFile(path, before);
    WinDiskFile disk(path, disposition, 512, sizeBytes);
    EXPECT_EQ(disk.isOpen(), after != missing);
    EXPECT_EQ(disk.getSizeBytes(), sizeBytes);
    EXPECT_TRUE(after == missing ? !std::filesystem::exists(path) : readFile(path) == after);
  }

  // A relative path starts at the program's directory.
  const std::string name = "vantor-relative-test-disk.bin";
  const std::string expected = vrk::System::getApplicationDirectory().str() + "/" + name;
  std::filesystem::remove(expected);
  { WinDiskFile disk("./sub/../" + name, WinDiskFile::OpenAlways, 512, 1024); }
  EXPECT_EQ(std::filesystem::exists(expected) ? std::filesystem::file_size(expected) : 0, 1024u);
  std::filesystem::remove(expected);
}

// What a host learns of a disk file before the library opens it: a lock that keeps a
// second writer (and readers of a file being written) out, never the library's transfers,
// and goes with its holder; its size and kind; the first non-zero byte found across holes
// and past the end. (One identity for two spellings: the smoke's "cannot be the target
// itself" and "given twice", on both systems.)
TEST(DiskFile, HostLocksIdentityAndNonZeroScan) {
  TempDir dir;
  const std::string path = dir.file("disk.img");
  writeFile(path, std::string(8192, '\0') + "x");
  std::filesystem::resize_file(path, 64 << 20);  // a hole where the file system allows
  auto refused = [&](bool exclusive) {
    const std::string got = outcome([&] { DiskFileLock::acquire(path, exclusive); });
    return got.find("is locked by another program") != std::string::npos;
  };
  {
    const DiskFileLock reader = DiskFileLock::acquire(path, false), other = DiskFileLock::acquire(path, false);
    EXPECT_TRUE(refused(true));
  }
  DiskFileLock writer = DiskFileLock::acquire(path, true);
  EXPECT_TRUE(refused(false) && refused(true));
  {
    WinDiskFile disk(path, WinDiskFile::OpenExisting, 512, 0);  // the holder's own transfers pass
    const DiskBufferPointer data = pattern(1, 9);
    EXPECT_TRUE(disk.writeSectors(4, data.get(), 1) && holds(disk, 4, data, 1));
    std::memset(data.get(), 0, 512);
    EXPECT_TRUE(disk.writeSectors(4, data.get(), 1));
  }
  writer = DiskFileLock();
  EXPECT_FALSE(refused(true));
  EXPECT_THROW(DiskFileLock::acquire(dir.file("none"), false), VantorException);

  EXPECT_EQ(PathFacts::inspect(path).size, u64(64) << 20);
  EXPECT_EQ(PathFacts::inspect(dir.path()).kind, PathFacts::Kind::Directory);
  EXPECT_NE(PathFacts::createNew(path), "");
  EXPECT_EQ(PathFacts::createNew(dir.file("new")), "");
  EXPECT_EQ(PathFacts::inspect(dir.file("new")).kind, PathFacts::Kind::Regular);

  EXPECT_EQ(PathFacts::firstNonZeroByte(path, {{0, 8192}, {1 << 20, 63 << 20}, {64 << 20, 4096}}), -1);
  EXPECT_EQ(PathFacts::firstNonZeroByte(path, {{1 << 20, 4096}, {4096, 8192}}), 8192);
}

// A disk keeps a duplicate of the handle it is given; clones and assigned disks get their
// own; a moved-from disk is closed. Requests of 4 GiB and more are refused before anything
// moves; failed transfers are logged with the system's error, read right after the failed
// call.
TEST(DiskHandle, EachDiskOwnsItsHandleAndFailedTransfersAreLoggedWithTheSystemError) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(4096, 'x'));
  u8 sector[512];  // never touched by the refused requests of 4 GiB
  std::unique_ptr<WinDisk> clone;
  {
    WinDisk source(openHandle(dir.file("disk"), Access::ReadWrite), 512, 4096);
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

  LogCapture log("vantor.WinDisk");
  EXPECT_FALSE(assigned.writeSectors(0, sector, (1u << 23) + 1));
  EXPECT_FALSE(assigned.readSectors(0, sector, 1u << 23));
  EXPECT_TRUE(readFile(dir.file("disk")) == std::string(4096, 'x'));
  WinDisk readOnly(openHandle(dir.file("disk"), Access::ReadOnly), 512, 4096);
  EXPECT_FALSE(readOnly.writeSectors(0x10, sector, 2));
  WinDisk directory(openHandle(dir.path(), Access::Directory), 512, 4096);
  EXPECT_FALSE(directory.readSectors(0, sector, 1));
  EXPECT_FALSE(readOnly.readSectors(7, sector, 2)) << "runs past the end of the file: short, and not logged";
  const std::vector<std::string> expected = {
      "106 Error writing to disk device. (sectorOffset:00000010h sectorCount:00000002h errorCode:" +
          std::to_string(systemError(Failure::WriteOnReadOnly)) + ")",
      "84 Error reading from disk device. (sectorOffset:00000000h sectorCount:00000001h errorCode:" +
          std::to_string(systemError(Failure::ReadOnDirectory)) + ")"};
  EXPECT_EQ(log.records(), expected);
}

TEST(DiskAddressing, ConvertsBetweenLbaAndChsByTheGeometry) {
  FakeDisk disk(512, 100, DiskGeometry{1024, 255, 63, 512});
  const std::pair<u64, boost::optional<CHSAddress>> cases[] = {
      {0, CHSAddress{0, 0, 1}},
      {62 + 16065, CHSAddress{1, 0, 63}},
      {63, CHSAddress{0, 1, 1}},
      {1024ull * 16065 - 1, CHSAddress{1023, 254, 63}},  // the last sector of the geometry
      {1024ull * 16065, boost::none},                    // past it
      {(1ull << 32) + 5, boost::none},                   // not cut to 32 bits
  };
  for (const auto& [lba, chs] : cases) {
    const auto got = disk.getCHSAddressFromLBA(lba, true);
    EXPECT_TRUE(got == chs) << lba;
    EXPECT_EQ(got ? disk.getLBAAddressFromCHS(*got).value_or(~0ull) : lba, lba) << "and back";
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

// Partition entries, CHS packing and the MBR table in sector 0: FakeDisk for geometry,
// call order and faults; a file-backed disk with sfdisk as the independent reader.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/Sfdisk.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"
#include "support/ToolSteps.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::SfdiskEntry;
using test::sfdiskEntries;
using test::throwsVantor;
using Op = FakeDisk::Op;
using Calls = std::vector<FakeDisk::Call>;

const DiskGeometry kGeometry{1024, 255, 63, 512};  // 16,450,560 sectors

PARTITION_TABLE_ENTRY entryOf(u8 boot, u8 type, u32 start, u32 count) {
  PARTITION_TABLE_ENTRY e{};
  e.bootIndicator = boot;
  e.partitionType = type;
  e.startLBA = start;
  e.sectorCount = count;
  return e;
}

std::array<u8, 3> bytesOf(const CHS_DATA& d) { return {d.head, d.sectorCylinderHigh, d.cylinderLow}; }

// Fills sector 0 with a recognisable pattern: boot code, table, signature, tail.
void fillSector0(FakeDisk& disk) {
  std::vector<u8> sector(disk.getSectorSize());
  for (u32 i = 0; i < sector.size(); ++i) sector[i] = static_cast<u8>(i * 7 + 3);
  disk.put(0, sector);
}

TEST(PartitionToolsTest, CHSPackingKeepsOnlyTheLowBitsOfEachField) {
  struct Case {
    CHSAddress address;
    std::array<u8, 3> packed;
  } cases[] = {
      {{1023, 254, 63}, {0xFE, 0xFF, 0xFF}},
      {{1024, 0, 1}, {0x00, 0x01, 0x00}},  // cylinder bit 10 dropped, not clamped
      {{256, 1, 2}, {0x01, 0x42, 0x00}},
      {{513, 255, 17}, {0xFF, 0x91, 0x01}},
      {{5, 0x1FF, 0x7F}, {0xFF, 0x3F, 0x05}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bytesOf(PartitionTools::getCHSData(c.address)), c.packed)
        << c.address.cylinder << "/" << c.address.head << "/" << c.address.sector;
  }
}

TEST(PartitionToolsTest, CHSUnpackingInvertsPackingForEveryRepresentableAddress) {
  for (u64 cylinder = 0; cylinder < 1024; ++cylinder) {
    for (u32 head = 0; head < 256; ++head) {
      for (u64 sector = 1; sector <= 63; ++sector) {
        const CHSAddress a{cylinder, head, sector};
        if (!(PartitionTools::getCHSAddress(PartitionTools::getCHSData(a)) == a)) {
          FAIL() << cylinder << "/" << head << "/" << sector;
        }
      }
    }
  }
}

// CHS fields come from the disk's geometry; where it gives no address (no geometry, a
// sector past it) the field keeps the bytes it had.
TEST(PartitionToolsTest, BuiltEntryTakesCHSFromTheDiskGeometry) {
  const u32 geometryEnd = 1024u * 255 * 63;
  using A = boost::optional<CHSAddress>;  // none: the marker bytes are kept
  struct Case {
    const char* what;
    bool hasGeometry;
    u32 start, count;
    A startCHS, endCHS;
  } cases[] = {
      {"cylinders 1 to 2", true, 16065, 2 * 16065, CHSAddress{1, 0, 1}, CHSAddress{2, 254, 63}},
      {"count 0: the end is the sector before", true, 63, 0, CHSAddress{0, 1, 1}, CHSAddress{0, 0, 63}},
      {"last sector of the geometry", true, geometryEnd - 1, 1, CHSAddress{1023, 254, 63}, CHSAddress{1023, 254, 63}},
      {"end beyond the geometry", true, 2048, geometryEnd, CHSAddress{0, 32, 33}, boost::none},
      {"start and end beyond", true, geometryEnd, 100, boost::none, boost::none},
      {"no geometry", false, 2048, 100, boost::none, boost::none},
  };
  const CHS_DATA marker{0xAB, 0xCD, 0xEF};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, 4096, c.hasGeometry ? boost::optional<DiskGeometry>(kGeometry) : boost::none);
    PARTITION_TABLE_ENTRY e{};
    e.startCHS = e.endCHS = marker;
    PartitionTools::buildPartitionEntry(disk, e, c.count != 0, 0x0B, c.start, c.count);
    EXPECT_EQ(e.bootIndicator, c.count != 0 ? 0x80 : 0x00);
    EXPECT_EQ(e.partitionType, 0x0B);
    EXPECT_EQ(u32(e.startLBA), c.start);
    EXPECT_EQ(u32(e.sectorCount), c.count);
    EXPECT_EQ(bytesOf(e.startCHS), bytesOf(c.startCHS ? PartitionTools::getCHSData(*c.startCHS) : marker));
    EXPECT_EQ(bytesOf(e.endCHS), bytesOf(c.endCHS ? PartitionTools::getCHSData(*c.endCHS) : marker));
  }
}

// Between one dismount and one remount (whose failure raises nothing), one write of
// sector 0 that replaces the four entries and keeps every other byte.
TEST(PartitionToolsTest, WriteReplacesOnlyTheFourEntries) {
  const PARTITION_TABLE_ENTRY a = entryOf(0x80, 0x0C, 2048, 1000), b = entryOf(0, 0x06, 4000, 500);
  const PARTITION_TABLE_ENTRY c = entryOf(0, 0x83, 5000, 10), d = entryOf(0, 0x07, 6000, 20);
  const PARTITION_TABLE_ENTRY e = entryOf(0, 0x0B, 7000, 30), zero{};
  struct Case {
    const char* what;
    std::vector<PARTITION_TABLE_ENTRY> given, expected;
  } cases[] = {
      {"empty", {}, {zero, zero, zero, zero}},
      {"one", {a}, {a, zero, zero, zero}},
      {"five", {a, b, c, d, e}, {a, b, c, d}},
  };
  for (u32 sectorSize : {512u, 4096u}) {
    for (const Case& cs : cases) {
      SCOPED_TRACE(::testing::Message() << cs.what << ", " << sectorSize);
      FakeDisk disk(sectorSize, 8);
      disk.mountResult = false;
      fillSector0(disk);
      const std::vector<u8> before = disk.image();
      PartitionTools::writePartitionsToMBR(disk, cs.given);
      EXPECT_EQ(disk.calls(), (Calls{{Op::Read, 0, 1}, {Op::Dismount, 0, 0}, {Op::Write, 0, 1}, {Op::Mount, 0, 0}}));
      const std::vector<u8> after = disk.image();
      EXPECT_EQ(std::memcmp(after.data(), before.data(), 446), 0);
      EXPECT_TRUE(std::equal(after.begin() + 510, after.end(), before.begin() + 510));
      EXPECT_EQ(PartitionTools::getPartitions(disk), cs.expected);
    }
  }
}

TEST(PartitionToolsTest, FailuresReportTheirCodeAndMessageAndChangeNothing) {
  struct Case {
    const char* what;
    bool writing;
    Op failing;
    u32 sectorSize;
    VantorErrorCodes code;
    const char* message;
    Calls calls;
  } cases[] = {
      {"get: read fails", false, Op::Read, 512, ERR_DISK_ACCESS, "Could not access MBR.", {{Op::Read, 0, 1}}},
      {"write: read fails", true, Op::Read, 512, ERR_DISK_ACCESS, "Could not read MBR.", {{Op::Read, 0, 1}}},
      {"write: dismount refused", true, Op::Dismount, 512, ERR_DISMOUNT_FAILED, "",
       {{Op::Read, 0, 1}, {Op::Dismount, 0, 0}}},
      {"write: write fails", true, Op::Write, 512, ERR_DISK_ACCESS, "Could not write MBR.",
       {{Op::Read, 0, 1}, {Op::Dismount, 0, 0}, {Op::Write, 0, 1}, {Op::Mount, 0, 0}}},
      {"get: 256-byte sectors", false, Op::Mount, 256, ERR_UNSUPPORTED_SECTOR_SIZE, "512 sector size required", {}},
      {"write: 256-byte sectors", true, Op::Mount, 256, ERR_UNSUPPORTED_SECTOR_SIZE, "512 sector size required", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(c.sectorSize, 8);
    fillSector0(disk);
    const std::vector<u8> before = disk.image();
    disk.dismountResult = c.failing != Op::Dismount;
    disk.gate = [failing = c.failing](Op op, u32, u32) { return op != failing; };
    EXPECT_TRUE(throwsVantor(
        [&] {
          if (c.writing)
            PartitionTools::writePartitionsToMBR(disk, {entryOf(0x80, 0x0C, 63, 100)});
          else
            (void)PartitionTools::getPartitions(disk);
        },
        c.code, c.message));
    EXPECT_EQ(disk.calls(), c.calls);
    EXPECT_EQ(disk.image(), before);
  }
}

// A disk whose remount throws: after a good write, or while a failed write unwinds.
class ThrowingRemountDisk final : public IDisk {
 public:
  ThrowingRemountDisk* clone() const override { return new ThrowingRemountDisk(*this); }
  u64 getSizeBytes() const override { return 512; }
  u32 getSizeSectors() const override { return 1; }
  u32 getSectorSize() const override { return 512; }
  bool mountDrive() override {
    ++mounts;
    throw std::runtime_error("remount failed");
  }
  u8 sector0[512] = {};
  bool failWrites = false;
  int mounts = 0;

 protected:
  bool impReadSectors(u32, void* buffer, u32) const override {
    std::memcpy(buffer, sector0, 512);
    return true;
  }
  bool impWriteSectors(u32, const void* buffer, u32) override {
    if (!failWrites) std::memcpy(sector0, buffer, 512);
    return !failWrites;
  }
};

TEST(PartitionToolsTest, ThrowingRemountNeitherEndsNorChangesTheTableWrite) {
  ThrowingRemountDisk disk;
  EXPECT_NO_THROW(PartitionTools::writePartitionsToMBR(disk, {entryOf(0, 0x83, 8, 16)}));
  EXPECT_EQ(1, disk.mounts);
  EXPECT_EQ(8u, u32(PartitionTools::getPartitions(disk)[0].startLBA));
  disk.failWrites = true;
  EXPECT_TRUE(throwsVantor([&] { PartitionTools::writePartitionsToMBR(disk, {}); }, ERR_DISK_ACCESS,
                           "Could not write MBR."));
  EXPECT_EQ(2, disk.mounts);
}

TEST(PartitionToolsTest, TablesAgreeWithSfdiskInBothDirections) {
  VANTOR_REQUIRE_TOOLS();
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  test::FatImage(image, 16384).partition({{2048, 4096, 0x0C, true}, {6144, 2048, 0x06}, {10000, 300, 0x83}});
  WinDiskFile disk(image.c_str(), WinDiskFile::OpenExisting, 512, 0);
  ASSERT_TRUE(disk.isOpen());

  const std::vector<PARTITION_TABLE_ENTRY> read = PartitionTools::getPartitions(disk);
  std::vector<SfdiskEntry> fromRead;
  for (u32 i = 0; i < read.size(); ++i) {
    if (read[i].partitionType != 0) {
      fromRead.push_back({i, u32(read[i].startLBA), u32(read[i].sectorCount), read[i].partitionType,
                          read[i].bootIndicator == 0x80});
    }
  }
  EXPECT_EQ(fromRead, sfdiskEntries(image));

  const std::string before = test::readFile(image);
  PartitionTools::writePartitionsToMBR(disk, {read[2], entryOf(0x80, 0x07, 12000, 500)});
  EXPECT_EQ(sfdiskEntries(image), (std::vector<SfdiskEntry>{{0, 10000, 300, 0x83, false}, {1, 12000, 500, 0x07, true}}));
  const std::string after = test::readFile(image);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 446), before.substr(0, 446));
  EXPECT_EQ(after.substr(510), before.substr(510));
}

}  // namespace
}  // namespace vantor

// Partition entries, CHS packing and the MBR table in sector 0: FakeDisk for geometry,
// call order and faults; a file-backed disk with sfdisk as the independent reader.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>

#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "support/FakeDisk.h"
#include "support/Sfdisk.h"
#include "support/TempDir.h"

namespace vantor {
namespace {

using test::FakeDisk;
using Op = FakeDisk::Op;

const DiskGeometry kGeometry{1024, 255, 63, 512};  // 16,450,560 sectors

using test::SfdiskEntry;
using test::sfdiskEntries;

PARTITION_TABLE_ENTRY entryOf(u8 boot, u8 type, u32 start, u32 count) {
  PARTITION_TABLE_ENTRY e{};
  e.bootIndicator = boot;
  e.partitionType = type;
  e.setStartLBA(start);
  e.setSectorCount(count);
  return e;
}

std::array<u8, 3> bytesOf(const CHS_DATA& d) { return {d.head, d.sectorCylinderHigh, d.cylinderLow}; }

// Fills sector 0 with a recognisable pattern: boot code, table, signature, tail.
void fillSector0(FakeDisk& disk) {
  for (u32 i = 0; i < disk.getSectorSize(); ++i) disk.bytes()[i] = static_cast<u8>(i * 7 + 3);
}

TEST(PartitionToolsTest, CHSPackingKeepsOnlyTheLowBitsOfEachField) {
  struct Case {
    CHSAddress address;
    std::array<u8, 3> packed;
  } cases[] = {
      {{1023, 254, 63}, {0xFE, 0xFF, 0xFF}},
      {{1024, 0, 1}, {0x00, 0x01, 0x00}},  // cylinder bit 10 dropped, not clamped
      {{0, 0, 1}, {0x00, 0x01, 0x00}},
      {{1, 0, 1}, {0x00, 0x01, 0x01}},
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

TEST(PartitionToolsTest, EntryAccessorsAreLittleEndianAndEqualityCoversAllSixteenBytes) {
  PARTITION_TABLE_ENTRY e = entryOf(0x80, 0x0C, 0x12345678, 0xA1B2C3D4);
  const u8 expected[16] = {0x80, 0, 0, 0, 0x0C, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1};
  EXPECT_EQ(std::memcmp(&e, expected, 16), 0);
  EXPECT_EQ(e.startLBA(), 0x12345678u);
  EXPECT_EQ(e.sectorCount(), 0xA1B2C3D4u);
  for (int byte = 0; byte < 16; ++byte) {
    PARTITION_TABLE_ENTRY other = e;
    reinterpret_cast<u8*>(&other)[byte] ^= 0x01;
    EXPECT_FALSE(other == e) << "byte " << byte;
    EXPECT_TRUE(other != e) << "byte " << byte;
  }
  EXPECT_TRUE(PARTITION_TABLE_ENTRY(e) == e);
}

TEST(PartitionToolsTest, BuiltEntryTakesCHSFromTheDiskGeometry) {
  FakeDisk disk(512, 4096, kGeometry);
  PARTITION_TABLE_ENTRY e{};
  PartitionTools::buildPartitionEntry(disk, e, true, 0x0C, 16065, 2 * 16065);
  EXPECT_EQ(e.bootIndicator, 0x80);
  EXPECT_EQ(e.partitionType, 0x0C);
  EXPECT_EQ(e.startLBA(), 16065u);
  EXPECT_EQ(e.sectorCount(), 2u * 16065);
  EXPECT_EQ(PartitionTools::getCHSAddress(e.startCHS), (CHSAddress{1, 0, 1}));
  EXPECT_EQ(PartitionTools::getCHSAddress(e.endCHS), (CHSAddress{2, 254, 63}));

  PartitionTools::buildPartitionEntry(disk, e, false, 0x06, 63, 0);  // count 0: end is the sector before
  EXPECT_EQ(e.bootIndicator, 0x00);
  EXPECT_EQ(PartitionTools::getCHSAddress(e.startCHS), (CHSAddress{0, 1, 1}));
  EXPECT_EQ(PartitionTools::getCHSAddress(e.endCHS), (CHSAddress{0, 0, 63}));
}

TEST(PartitionToolsTest, BuiltEntryKeepsCHSBytesWhereTheGeometryGivesNoAddress) {
  const u32 geometryEnd = 1024u * 255 * 63;
  const CHS_DATA marker{0xAB, 0xCD, 0xEF};
  struct Case {
    const char* what;
    bool hasGeometry;
    u32 start, count;
    bool startKept, endKept;
  } cases[] = {
      {"end beyond the geometry", true, 2048, geometryEnd, false, true},
      {"start and end beyond", true, geometryEnd, 100, true, true},
      {"last sector of the geometry", true, geometryEnd - 1, 1, false, false},
      {"no geometry", false, 2048, 100, true, true},
  };
  for (const Case& c : cases) {
    FakeDisk disk(512, 4096, c.hasGeometry ? boost::optional<DiskGeometry>(kGeometry) : boost::none);
    PARTITION_TABLE_ENTRY e{};
    e.startCHS = marker;
    e.endCHS = marker;
    PartitionTools::buildPartitionEntry(disk, e, false, 0x0B, c.start, c.count);
    EXPECT_EQ(bytesOf(e.startCHS) == bytesOf(marker), c.startKept) << c.what;
    EXPECT_EQ(bytesOf(e.endCHS) == bytesOf(marker), c.endKept) << c.what;
    EXPECT_EQ(e.startLBA(), c.start) << c.what;
    EXPECT_EQ(e.sectorCount(), c.count) << c.what;
  }
  FakeDisk disk(512, 4096, kGeometry);
  PARTITION_TABLE_ENTRY e{};
  PartitionTools::buildPartitionEntry(disk, e, false, 0x0B, geometryEnd - 1, 1);
  EXPECT_EQ(PartitionTools::getCHSAddress(e.endCHS), (CHSAddress{1023, 254, 63}));
}

TEST(PartitionToolsTest, GetPartitionsReturnsFourEntriesOfAnyTable) {
  FakeDisk disk(512, 16);
  std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::getPartitions(disk);
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& e : entries) EXPECT_TRUE(e == PARTITION_TABLE_ENTRY{});

  fillSector0(disk);  // no boot signature, nonsense fields
  entries = PartitionTools::getPartitions(disk);
  ASSERT_EQ(entries.size(), 4u);
  for (u32 i = 0; i < 4; ++i) {
    EXPECT_EQ(std::memcmp(&entries[i], disk.bytes().data() + 446 + 16 * i, 16), 0) << i;
  }
}

TEST(PartitionToolsTest, WriteReplacesOnlyTheFourEntries) {
  const PARTITION_TABLE_ENTRY a = entryOf(0x80, 0x0C, 2048, 1000), b = entryOf(0, 0x06, 4000, 500);
  const PARTITION_TABLE_ENTRY c = entryOf(0, 0x83, 5000, 10), d = entryOf(0, 0x07, 6000, 20);
  const PARTITION_TABLE_ENTRY e = entryOf(0, 0x0B, 7000, 30);
  const PARTITION_TABLE_ENTRY zero{};
  struct Case {
    const char* what;
    std::vector<PARTITION_TABLE_ENTRY> given, expected;
  } cases[] = {
      {"empty", {}, {zero, zero, zero, zero}},
      {"one", {a}, {a, zero, zero, zero}},
      {"four", {a, b, c, d}, {a, b, c, d}},
      {"five", {a, b, c, d, e}, {a, b, c, d}},
  };
  for (u32 sectorSize : {512u, 4096u}) {
    for (const Case& cs : cases) {
      FakeDisk disk(sectorSize, 8);
      fillSector0(disk);
      const std::vector<u8> before = disk.bytes();
      PartitionTools::writePartitionsToMBR(disk, cs.given);
      const std::vector<u8>& after = disk.bytes();
      EXPECT_EQ(std::memcmp(after.data(), before.data(), 446), 0) << cs.what;
      EXPECT_TRUE(std::equal(after.begin() + 510, after.end(), before.begin() + 510)) << cs.what;
      EXPECT_EQ(PartitionTools::getPartitions(disk), cs.expected) << cs.what << " " << sectorSize;
      EXPECT_EQ(disk.writes(), (std::vector<FakeDisk::Call>{{Op::Write, 0, 1}})) << cs.what;
    }
  }
}

TEST(PartitionToolsTest, WriteDismountsThenWritesThenRemountsOnce) {
  FakeDisk disk(512, 8);
  disk.setMountResult(false);  // a failing remount raises nothing
  PartitionTools::writePartitionsToMBR(disk, {entryOf(0x80, 0x0C, 63, 100)});
  const std::vector<FakeDisk::Call> expected = {
      {Op::Read, 0, 1}, {Op::Dismount, 0, 0}, {Op::Write, 0, 1}, {Op::Mount, 0, 0}};
  EXPECT_EQ(disk.calls(), expected);
}

TEST(PartitionToolsTest, FailuresReportTheirCodeAndMessage) {
  struct Case {
    const char* what;
    bool writing;
    Op failing;
    VantorErrorCodes code;
    const char* message;
    std::vector<FakeDisk::Call> calls;
  } cases[] = {
      {"get: read fails", false, Op::Read, ERR_DISK_ACCESS, "Could not access MBR.", {{Op::Read, 0, 1}}},
      {"write: read fails", true, Op::Read, ERR_DISK_ACCESS, "Could not read MBR.", {{Op::Read, 0, 1}}},
      {"write: dismount refused", true, Op::Dismount, ERR_DISMOUNT_FAILED, "",
       {{Op::Read, 0, 1}, {Op::Dismount, 0, 0}}},
      {"write: write fails", true, Op::Write, ERR_DISK_ACCESS, "Could not write MBR.",
       {{Op::Read, 0, 1}, {Op::Dismount, 0, 0}, {Op::Write, 0, 1}, {Op::Mount, 0, 0}}},
  };
  for (const Case& c : cases) {
    FakeDisk disk(512, 8);
    fillSector0(disk);
    const std::vector<u8> before = disk.bytes();
    if (c.failing == Op::Dismount) disk.setDismountResult(false);
    const Op failing = c.failing;
    disk.gate = [failing](Op op, u32, u32) { return op != failing; };
    try {
      if (c.writing) {
        PartitionTools::writePartitionsToMBR(disk, {entryOf(0x80, 0x0C, 63, 100)});
      } else {
        (void)PartitionTools::getPartitions(disk);
      }
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const VantorException& e) {
      EXPECT_EQ(e.getErrorCode(), c.code) << c.what;
      EXPECT_EQ(e.getMessage(), vrk::String(c.message)) << c.what;
    }
    EXPECT_EQ(disk.calls(), c.calls) << c.what;
    EXPECT_EQ(disk.bytes(), before) << c.what;
  }
}

TEST(PartitionToolsTest, SectorsSmallerThan512BytesAreRefusedBeforeAnyTransfer) {
  FakeDisk disk(256, 16);
  for (bool writing : {false, true}) {
    try {
      if (writing) {
        PartitionTools::writePartitionsToMBR(disk, {});
      } else {
        (void)PartitionTools::getPartitions(disk);
      }
      ADD_FAILURE() << "no exception";
    } catch (const VantorException& e) {
      EXPECT_EQ(e.getErrorCode(), ERR_UNSUPPORTED_SECTOR_SIZE);
      EXPECT_EQ(e.getMessage(), vrk::String("512 sector size required"));
    }
  }
  EXPECT_TRUE(disk.calls().empty());
}

TEST(PartitionToolsTest, TablesAgreeWithSfdiskInBothDirections) {
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  ASSERT_EQ(test::run("truncate -s 8M '" + image + "' && printf 'label: dos\\nstart=2048,size=4096,type=c,bootable\\n"
                      "start=6144,size=2048,type=6\\nstart=10000,size=300,type=83\\n' | sfdisk -q '" +
                      image + "' >/dev/null 2>&1"),
            0);
  WinDiskFile disk(image.c_str(), WinDiskFile::OpenExisting, 512, 0);
  ASSERT_TRUE(disk.isOpen());

  const std::vector<PARTITION_TABLE_ENTRY> read = PartitionTools::getPartitions(disk);
  ASSERT_EQ(read.size(), 4u);
  std::vector<SfdiskEntry> fromRead;
  for (u32 i = 0; i < 4; ++i) {
    if (read[i].partitionType != 0) {
      fromRead.push_back({i, read[i].startLBA(), read[i].sectorCount(), read[i].partitionType,
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

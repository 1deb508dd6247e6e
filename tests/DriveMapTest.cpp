// The used-sector map of a drive (MBR, non-empty gap sectors below 2048, every FAT
// volume's used sectors) against drives laid out by the real tools; FakeDisk for reads,
// faults and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/LittleEndian.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/ThrowsVantor.h"
#include "support/Spans.h"
#include "support/TempDir.h"
#include "support/ToolSteps.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::FatImage;
using test::PartitionPlan;
using test::Span;
using test::spansOf;
using test::TempDir;
using test::throwsVantor;

TEST(DriveMap, MapsTheMbrTheGapsDataAndEveryVolumeAsToolsReportThem) {
  VANTOR_REQUIRE_TOOLS();
  struct Case {
    const char* what;
    std::vector<PartitionPlan> partitions;  // type 0: an empty slot
    std::vector<int> fatBits;
    std::vector<u32> gapSectorsWithData;
  };
  std::vector<u32> bootCode;  // sectors 1-62
  for (u32 s = 1; s < 63; ++s) bootCode.push_back(s);
  const Case cases[] = {
      {"FAT16 06h then FAT32 0Ch, empty gap", {{2048, 65536, 0x06}, {67584, 140000, 0x0C}}, {16, 32}, {}},
      {"FAT32 0Ch at 63, gap full of boot code", {{63, 140000, 0x0C}}, {32}, bootCode},
      {"FAT16 0Eh in the second entry, gap with scattered data", {{0, 0, 0}, {2048, 40000, 0x0E}}, {0, 16},
       {5, 6, 100, 2047}},
      {"FAT16 at 4096: gap data past sector 2047 is left out", {{4096, 40000, 0x06}}, {16}, {1, 2047, 2048, 3000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    u32 end = 0;
    std::vector<PartitionPlan> table;
    for (const PartitionPlan& p : c.partitions) {
      end = std::max(end, p.start + p.size);
      if (p.type != 0) table.push_back(p);
    }
    FatImage image(dir.file("disk.img"), end + 2048);
    image.partition(table);
    std::set<u64> expected{0};
    for (std::size_t i = 0; i < c.partitions.size(); ++i) {
      const PartitionPlan& p = c.partitions[i];
      if (p.type == 0) continue;
      image.format(p.start, p.size, c.fatBits[i], "-s 1");
      image.makeDirectory(p.start, "::/dir");
      image.addFile(p.start, "::/dir/one.bin", 40000, 1);
      image.addFile(p.start, "::/two.bin", 9000, 2);
      image.addFile(p.start, "::/three.bin", 20000, 3);
      image.remove(p.start, "::/two.bin");
      const test::FatCheck check = image.check(p.start, p.size);
      const std::set<u32> clusters = image.clustersInUse(p.start);
      ASSERT_EQ(clusters.size(), check.usedClusters) << check.output;
      const std::set<u64> used = FatImage::sectorsInUse(p.start, check, clusters);
      expected.insert(used.begin(), used.end());
    }
    for (u32 s : c.gapSectorsWithData) {
      image.fillSectors(s, 1, static_cast<u8>(s | 1));
      if (s < 2048 && s < table.front().start) expected.insert(s);
    }

    WinDiskFile disk(image.path(), WinDiskFile::OpenExisting, 512, 0);
    ASSERT_TRUE(disk.isOpen());
    SectorMap map;
    u64 highestVolumeSector = 1;
    getDriveMap(disk, map, highestVolumeSector, false);
    EXPECT_EQ(spansOf(map), spansOf(expected));
    EXPECT_EQ(highestVolumeSector, end - 1);
  }
}

TEST(DriveMap, VolumeEndingOnTheLastSectorIsAcceptedOnePastIsNot) {
  VANTOR_REQUIRE_TOOLS();
  const u32 start = 2048, count = 40000, driveSectors = start + count;
  TempDir dir;
  FatImage image(dir.file("disk.img"), driveSectors);
  image.format(start, count, 16);
  struct Case {
    u32 partitionSectors;
    bool allowVolumeBeyondDrive;
    bool accepted;
  };
  const Case cases[] = {
      {count, false, true},
      {count + 1, false, false},
      {count + 1, true, true},
      {count + 100000, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.partitionSectors << " sectors, allow " << c.allowVolumeBeyondDrive);
    image.writeEntry(0, {start, c.partitionSectors, 0x06});  // sfdisk refuses entries past the end
    WinDiskFile disk(image.path(), WinDiskFile::OpenExisting, 512, 0);
    SectorMap map;
    u64 highest = 0;
    const u64 last = u64(start) + c.partitionSectors - 1;
    if (c.accepted) {
      getDriveMap(disk, map, highest, c.allowVolumeBeyondDrive);
      EXPECT_EQ(highest, last);
      EXPECT_FALSE(map.empty());
    } else {
      EXPECT_TRUE(throwsVantor([&] { getDriveMap(disk, map, highest, c.allowVolumeBeyondDrive); },
                               ERR_VOLUME_EXCEEDS_DRIVE,
                               "Last volume sector exceeds drive extents.\n"
                               "   Volume Sectors: [00000800h, 0000A440h]\n"
                               "   Drive Sectors:  [00000000h, 0000A43Fh]\n"));
      EXPECT_TRUE(map.empty());
    }
  }
}

// ---------------------------------------------------------------------------------------
// FakeDisk drives.

void setEntry(FakeDisk& disk, int index, u8 type, u32 start, u32 count) {
  u8 e[16] = {};
  e[4] = type;
  writeLE32(e + 8, start);
  writeLE32(e + 12, count);
  disk.put(446 + 16 * index, e, 16);
  disk.put(510, std::vector<u8>{0x55, 0xAA});
}

std::vector<FakeDisk::Call> singleSectorReads(u32 first, u32 last) {
  std::vector<FakeDisk::Call> out;
  for (u32 s = first; s <= last; ++s) out.push_back({FakeDisk::Op::Read, s, 1});
  return out;
}

TEST(DriveMap, EmptyTableMapsSectors0To2048WithoutReadingTheGap) {
  for (u32 driveSectors : {100u, 4096u}) {  // a drive smaller than the run is mapped all the same
    SCOPED_TRACE(driveSectors);
    FakeDisk disk(512, driveSectors);
    SectorMap map;
    u64 highest = 7;
    getDriveMap(disk, map, highest, false);
    EXPECT_EQ(spansOf(map), (std::vector<Span>{{0, 2048}}));
    EXPECT_EQ(highest, 0u);
    EXPECT_EQ(disk.calls(), singleSectorReads(0, 0));
  }
}

// The gap scan reads sectors 1.. one by one up to the first partition (the smallest start
// of any slot, also an empty one) but below 2048, adds those holding any non-zero byte,
// merged with what the map holds, and stops quietly at the first read failure.
TEST(DriveMap, GapScanAddsNonZeroSectorsBeforeTheFirstPartitionAndBelow2048) {
  struct Case {
    const char* what;
    std::vector<std::pair<u32, u8>> entries;  // start, type; entry i in table slot i
    std::vector<u32> dataSectors;
    u32 failingRead;                          // 0: none
    u32 lastScanned;                          // 0: nothing scanned
    std::vector<Span> expected;               // the map already holds [0, 1]
  };
  const Case cases[] = {
      {"partition at 63", {{63, 0x07}}, {62, 63}, 0, 62, {{0, 1}, {62, 62}}},
      {"partition at 4096", {{4096, 0x07}}, {1, 2, 3, 10, 2047, 2048}, 0, 2047, {{0, 3}, {10, 10}, {2047, 2047}}},
      {"partition at 2048", {{2048, 0x07}}, {}, 0, 2047, {{0, 1}}},
      {"partition at 1", {{1, 0x07}}, {1}, 0, 0, {{0, 1}}},
      {"smallest start wins, whatever the slot", {{500, 0x07}, {0, 0}, {100, 0x07}}, {}, 0, 99, {{0, 1}}},
      {"an empty entry with a start sector still counts", {{0, 0}, {40, 0x00}, {3000, 0x07}}, {}, 0, 39, {{0, 1}}},
      {"read failure at sector 5 ends the scan", {{2048, 0x0C}}, {3, 4, 7, 100}, 5, 5, {{0, 1}, {3, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, 8192);
    for (std::size_t i = 0; i < c.entries.size(); ++i) setEntry(disk, int(i), c.entries[i].second, c.entries[i].first, 10);
    for (u32 s : c.dataSectors) disk.put(s * 512 + (s * 37) % 512, std::vector<u8>{1});
    const u32 failing = c.failingRead;
    disk.gate = [failing](FakeDisk::Op, u32 sector, u32) { return failing == 0 || sector != failing; };
    PARTITION_TABLE_ENTRY entries[4];
    std::memcpy(entries, disk.read(446, 64).data(), sizeof entries);
    SectorMap map;
    addSectorRange(map, makeSectorRange(0, 2));
    findUsedSectorsAfterMbr(disk, entries, map);
    EXPECT_EQ(spansOf(map), c.expected);
    for (const SectorRange& r : map) EXPECT_EQ(r.sectorSize, 512u);
    EXPECT_EQ(disk.calls(), c.lastScanned ? singleSectorReads(1, c.lastScanned) : std::vector<FakeDisk::Call>{});
  }
}

TEST(DriveMap, RefusesForeignPartitionsAndVolumesPastTheDrive) {
  struct Entry {
    u8 type;
    u32 start, count;
  };
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    VantorErrorCodes code;
    const char* message;
    u64 highest;  // what highestVolumeSector holds after the failure
  };
  const char* tooLong =
      "Last volume sector exceeds drive extents.\n"
      "   Volume Sectors: [00000800h, 00002710h]\n"
      "   Drive Sectors:  [00000000h, 0000270Fh]\n";
  const Case cases[] = {
      {"NTFS", {{0x07, 2048, 100}}, ERR_UNSUPPORTED_FILE_SYSTEM, "Unsupported partition ID found in MBR : 07h", 2147},
      {"GPT protective entry", {{0xEE, 1, 9999}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported partition ID found in MBR : EEh", 9999},
      {"extended partition 05h", {{0x05, 4000, 100}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported partition ID found in MBR : 05h", 4099},
      {"extended partition 0Fh", {{0x0F, 4000, 100}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported partition ID found in MBR : 0Fh", 4099},
      {"too long and foreign: the extent check comes first", {{0x07, 2048, 7953}}, ERR_VOLUME_EXCEEDS_DRIVE, tooLong,
       0},
      {"first failing entry in table order ends the map",
       {{0x00, 0, 0}, {0x07, 3000, 10}, {0x06, 2048, 7953}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported partition ID found in MBR : 07h", 3009},
      {"highest sector is kept across entries", {{0x00, 0, 0}, {0x83, 9000, 1000}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported partition ID found in MBR : 83h", 9999},
      {"the volume mapper's errors pass through", {{0x06, 2048, 100}}, ERR_UNSUPPORTED_FILE_SYSTEM,
       "Unsupported FAT File System", 2147},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, 10000);
    for (std::size_t i = 0; i < c.entries.size(); ++i)
      setEntry(disk, int(i), c.entries[i].type, c.entries[i].start, c.entries[i].count);
    SectorMap map;
    addSectorRange(map, makeSectorRange(77, 3));
    u64 highest = 0;
    EXPECT_TRUE(throwsVantor([&] { getDriveMap(disk, map, highest, false); }, c.code, c.message));
    EXPECT_EQ(spansOf(map), (std::vector<Span>{{77, 79}})) << "the caller's map is untouched";
    EXPECT_EQ(highest, c.highest);
  }
}

TEST(DriveMap, UnreadableMbrIsADiskAccessError) {
  FakeDisk disk(512, 4096);
  disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != 0; };
  SectorMap map;
  u64 highest = 0;
  EXPECT_TRUE(throwsVantor([&] { getDriveMap(disk, map, highest, false); }, ERR_DISK_ACCESS, "Failed to read MBR"));
}

}  // namespace
}  // namespace vantor

// The used-sector map of a drive: the MBR, the non-empty sectors of the gap before the
// first partition (below sector 2048) and every FAT volume's used sectors, checked
// against drives laid out by sfdisk, mkfs.fat and mtools, and against FakeDisk for reads,
// faults and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/LittleEndian.h>
#include <vrk/Log.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/ThrowsVantor.h"
#include "support/Spans.h"
#include "support/TempDir.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::FatImage;
using test::PartitionSpec;
using test::TempDir;

using test::Span;
using test::spansOf;

// The sectors a volume uses by the tools' account: the system area fsck.fat reports and
// the clusters mtools finds in files and directories.
void addVolumeSectors(const FatImage& image, const PartitionSpec& p, std::set<u64>& sectors) {
  const test::FatCheck check = image.check(p.start, p.size);
  const std::set<u32> clusters = image.clustersInUse(p.start);
  ASSERT_EQ(clusters.size(), check.usedClusters) << check.output;
  for (u64 s = 0; s < check.dataStartSector; ++s) sectors.insert(p.start + s);
  for (u32 c : clusters) {
    const u64 first = p.start + check.dataStartSector + u64(c - 2) * check.sectorsPerCluster;
    for (u32 i = 0; i < check.sectorsPerCluster; ++i) sectors.insert(first + i);
  }
}

using test::throwsVantor;

// ---------------------------------------------------------------------------------------
// Drives laid out by the real tools.

TEST(DriveMap, MapsTheMbrTheGapsDataAndEveryVolumeAsToolsReportThem) {
  struct Case {
    const char* what;
    std::vector<PartitionSpec> partitions;
    std::vector<int> fatBits;
    std::vector<u32> gapSectorsWithData;
  };
  const Case cases[] = {
      {"FAT16 06h then FAT32 0Ch, empty gap", {{2048, 65536, 0x06}, {67584, 140000, 0x0C}}, {16, 32}, {}},
      {"FAT32 0Ch at 63, gap full of boot code", {{63, 140000, 0x0C}}, {32}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
        13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
        41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62}},
      {"FAT16 0Eh in the second entry, gap with scattered data", {{0, 0, 0}, {2048, 40000, 0x0E}}, {0, 16},
       {5, 6, 100, 2047}},
      {"FAT16 at 4096: gap data past sector 2047 is left out", {{4096, 40000, 0x06}}, {16}, {1, 2047, 2048, 3000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    u32 end = 0;
    for (const PartitionSpec& p : c.partitions) end = std::max(end, p.start + p.size);
    FatImage image(dir.file("disk.img"), end + 2048);
    std::vector<PartitionSpec> table;
    for (const PartitionSpec& p : c.partitions)
      if (p.type != 0) table.push_back(p);
    image.partition(table);
    std::set<u64> expected{0};
    u64 highest = 0;
    for (std::size_t i = 0; i < c.partitions.size(); ++i) {
      const PartitionSpec& p = c.partitions[i];
      if (p.type == 0) continue;
      image.format(p.start, p.size, c.fatBits[i], "-s 1");
      image.makeDirectory(p.start, "::/dir");
      image.addFile(p.start, "::/dir/one.bin", 40000, 1);
      image.addFile(p.start, "::/two.bin", 9000, 2);
      image.addFile(p.start, "::/three.bin", 20000, 3);
      image.remove(p.start, "::/two.bin");
      addVolumeSectors(image, p, expected);
      highest = std::max<u64>(highest, p.start + p.size - 1);
    }
    const u32 firstPartition = table.front().start;
    for (u32 s : c.gapSectorsWithData) {
      image.fillSectors(s, 1, static_cast<u8>(s | 1));
      if (s < 2048 && s < firstPartition) expected.insert(s);
    }

    WinDiskFile disk(image.path(), WinDiskFile::OpenExisting, 512, 0);
    ASSERT_TRUE(disk.isOpen());
    SectorMap map;
    u64 highestVolumeSector = 1;
    getDriveMap(disk, map, highestVolumeSector, false);
    EXPECT_EQ(spansOf(map), spansOf(expected));
    EXPECT_EQ(highestVolumeSector, highest);
  }
}

TEST(DriveMap, VolumeEndingOnTheLastSectorIsAcceptedOnePastIsNot) {
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
  u8* e = disk.bytes().data() + 446 + 16 * index;
  e[4] = type;
  writeLE32(e + 8, start);
  writeLE32(e + 12, count);
  disk.bytes()[510] = 0x55;
  disk.bytes()[511] = 0xAA;
}

std::vector<FakeDisk::Call> readsOf(const FakeDisk& disk) {
  std::vector<FakeDisk::Call> reads;
  for (const FakeDisk::Call& c : disk.calls())
    if (c.op == FakeDisk::Op::Read) reads.push_back(c);
  return reads;
}

std::vector<FakeDisk::Call> singleSectorReads(u32 first, u32 last) {
  std::vector<FakeDisk::Call> reads;
  for (u32 s = first; s <= last; ++s) reads.push_back({FakeDisk::Op::Read, s, 1});
  return reads;
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
    EXPECT_EQ(readsOf(disk), singleSectorReads(0, 0));
  }
}

TEST(DriveMap, GapScanStopsAtTheFirstPartitionAndBelowSector2048) {
  struct Case {
    const char* what;
    std::vector<std::pair<u32, u8>> entries;  // start, type; entry i in table slot i
    u32 lastScanned;                          // 0: nothing scanned
  };
  const Case cases[] = {
      {"partition at 63", {{63, 0x07}}, 62},
      {"partition at 4096", {{4096, 0x07}}, 2047},
      {"partition at 2048", {{2048, 0x07}}, 2047},
      {"partition at 1", {{1, 0x07}}, 0},
      {"smallest start wins, whatever the slot", {{500, 0x07}, {0, 0}, {100, 0x07}}, 99},
      {"an empty entry with a start sector still counts", {{0, 0}, {40, 0x00}, {3000, 0x07}}, 39},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, 8192);
    for (std::size_t i = 0; i < c.entries.size(); ++i) setEntry(disk, int(i), c.entries[i].second, c.entries[i].first, 10);
    PARTITION_TABLE_ENTRY entries[4];
    std::memcpy(entries, disk.bytes().data() + 446, sizeof entries);
    SectorMap map;
    findUsedSectorsAfterMbr(disk, entries, map);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(readsOf(disk), c.lastScanned ? singleSectorReads(1, c.lastScanned) : std::vector<FakeDisk::Call>{});
  }
}

TEST(DriveMap, GapSectorsHoldingAnyNonZeroByteAreAddedAndMerged) {
  FakeDisk disk(512, 8192);
  setEntry(disk, 0, 0x0C, 2048, 100);
  for (u32 s : {1u, 2u, 3u, 10u, 2047u}) disk.bytes()[s * 512 + (s * 37) % 512] = 1;
  PARTITION_TABLE_ENTRY entries[4];
  std::memcpy(entries, disk.bytes().data() + 446, sizeof entries);
  SectorMap map;
  addSectorRange(map, makeSectorRange(0, 1));
  findUsedSectorsAfterMbr(disk, entries, map);
  EXPECT_EQ(spansOf(map), (std::vector<Span>{{0, 3}, {10, 10}, {2047, 2047}}));
  for (const SectorRange& r : map) EXPECT_EQ(r.sectorSize, 512u);
}

TEST(DriveMap, ReadFailureInTheGapEndsTheScanQuietly) {
  FakeDisk disk(512, 8192);
  setEntry(disk, 0, 0x0C, 2048, 100);
  for (u32 s : {2u, 3u, 7u, 100u}) disk.bytes()[s * 512] = 0xFF;
  disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != 5; };
  PARTITION_TABLE_ENTRY entries[4];
  std::memcpy(entries, disk.bytes().data() + 446, sizeof entries);
  SectorMap map;
  findUsedSectorsAfterMbr(disk, entries, map);
  EXPECT_EQ(spansOf(map), (std::vector<Span>{{2, 3}}));
  EXPECT_EQ(readsOf(disk), singleSectorReads(1, 5));
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
      {"FAT16 one sector past the drive", {{0x06, 2048, 7953}}, ERR_VOLUME_EXCEEDS_DRIVE, tooLong, 0},
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

TEST(DriveMap, TracesEntryAndExitOnTheImagingLogger) {
  std::vector<std::string> records;
  vrk::LogFactory::setSink([&](const vrk::String& logger, int priority, const vrk::String& text) {
    if (logger == "vantor.DiskImager") records.push_back(std::to_string(priority) + " " + text.str());
  });
  const int before = vrk::LogFactory::getPriority();
  vrk::LogFactory::setPriority(vrk::LOG_TRACE);
  FakeDisk disk(512, 4096);
  SectorMap map;
  u64 highest = 0;
  getDriveMap(disk, map, highest, false);
  vrk::LogFactory::setPriority(before);
  vrk::LogFactory::setSink(nullptr);

  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].rfind("1 > getDriveMap", 0), 0u) << records[0];
  EXPECT_EQ(records[1].rfind("1 > findUsedSectorsAfterMbr", 0), 0u) << records[1];
  EXPECT_EQ(records[2], "1 < findUsedSectorsAfterMbr");
  EXPECT_EQ(records[3], "1 < getDriveMap");
}

}  // namespace
}  // namespace vantor

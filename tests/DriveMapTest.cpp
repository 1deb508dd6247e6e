// The used-sector map of a drive: the sector map's runs; the FAT volume mapper (system
// area plus every used cluster of the first FAT) on hand-made boot sectors; the drive map
// (MBR, non-empty gap sectors below 2048, every FAT volume's used sectors) on FakeDisk for
// reads, faults and refusals.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/FatVolumeMapper.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::throwsVantor;
using Span = std::pair<u64, u64>;  // the first and the last sector of a run

std::vector<Span> spansOf(const SectorMap& map) {
  std::vector<Span> spans;
  for (const SectorRange& r : map) spans.push_back({r.firstSector, r.lastSector});
  return spans;
}

// The smallest list of runs covering `sectors`, worked out without the sector map.
std::vector<Span> spansOf(const std::set<u64>& sectors) {
  std::vector<Span> spans;
  for (u64 s : sectors) {
    if (!spans.empty() && spans.back().second + 1 == s) spans.back().second = s;
    else spans.push_back({s, s});
  }
  return spans;
}

// Property check against a plain set of sectors: whatever is added, in any order (empty
// runs too), the map must be the smallest ascending list of runs covering exactly that set.
TEST(SectorMap, AgreesWithASetOfSectorsOnRandomRuns) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 300; ++round) {
    const u32 span = 50 + random() % 2000;
    SectorMap map;
    std::set<u64> model;
    for (int a = 1 + static_cast<int>(random() % 60); a > 0; --a) {
      const u32 first = random() % span;
      const u32 count = random() % (random() % 4 == 0 ? 200 : 8);
      addSectorRange(map, makeSectorRange(first, count));
      for (u32 s = first; s < first + count; ++s) model.insert(s);
    }
    SCOPED_TRACE(round);
    for (const SectorRange& r : map) ASSERT_EQ(r.lastSector, u64(r.firstSector) + r.numSectors - 1);
    ASSERT_EQ(spansOf(map), spansOf(model));
  }
  SectorMap top;
  addSectorRange(top, makeSectorRange(0xFFFFFFF0u, 16));
  addSectorRange(top, makeSectorRange(0xFFFFFFE0u, 16));
  EXPECT_EQ(spansOf(top), (std::vector<Span>{{0xFFFFFFE0u, 0xFFFFFFFFull}}));
}

// Hand-made boot sectors at sector VOLUME. FAT16: 4 reserved sectors, FAT at 104 (one of 16
// sectors, 4096 entries), 500 root entries (31.25 sectors: 32), data at 152, 20000 sectors
// of 4-sector clusters. FAT32: 32 reserved, FAT at 132 (2 x 8 sectors, 1024 entries), data
// at 148, 1000 sectors of 1-sector clusters.
constexpr u32 VOLUME = 100;

std::vector<u8> bootSector(bool fat32) {
  std::vector<u8> b(512, 0);
  writeLE16(&b[11], 512);
  b[13] = fat32 ? 1 : 4;
  writeLE16(&b[14], fat32 ? 32 : 4);
  b[16] = fat32 ? 2 : 1;
  writeLE16(&b[17], fat32 ? 0 : 500);
  writeLE16(&b[22], fat32 ? 0 : 16);
  writeLE32(&b[32], fat32 ? 1000 : 20000);
  writeLE32(&b[36], fat32 ? 8 : 0);
  std::memcpy(&b[fat32 ? 82 : 54], fat32 ? "FAT32   " : "FAT16   ", 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

void setEntry(FakeDisk& disk, bool fat32, u32 cluster, u32 value, u32 at = VOLUME) {
  test::putLE(disk, (u64(at) + (fat32 ? 32 : 4)) * 512 + (fat32 ? 4 : 2) * cluster, value, fat32 ? 4 : 2);
}

// The value in cluster 2 and in the FAT's last entry (for FAT32 past the volume's end);
// then boot sectors it refuses, and sector numbers past 32 bits.
TEST(FatVolumeMapper, CountsAllocatedEndOfChainAndBadEntriesAsUsedUpToTheLastEntryAndRefusesWhatItCannotMap) {
  // {FAT32 or FAT16, the value, whether it marks a used cluster}
  const std::tuple<bool, u32, bool> values[] = {
      {false, 0x0000, false},    {false, 0x0001, false},    {false, 0x0002, true},     {false, 0xFFEF, true},
      {false, 0xFFF0, false},    {false, 0xFFF6, false},    {false, 0xFFF7, true},     {false, 0xFFFF, true},
      {true, 0x0FFFFFEF, true},  {true, 0x0FFFFFF0, false}, {true, 0x0FFFFFF6, false}, {true, 0x0FFFFFF7, true},
      {true, 0x0FFFFFFF, true},  {true, 0xF0000000, false}, {true, 0xF0000005, true},  {true, 0x1FFFFFF7, true},
      {true, 0xFFFFFFF6, false},
  };
  for (const auto& [fat32, value, isUsed] : values) {
    SCOPED_TRACE(::testing::Message() << std::hex << value);
    const u32 dataStart = fat32 ? 148 : 152, spc = fat32 ? 1 : 4, last = fat32 ? 1023 : 4095;
    FakeDisk disk(512, 20200);
    disk.put(VOLUME * 512, bootSector(fat32));
    setEntry(disk, fat32, 2, value);
    setEntry(disk, fat32, last, value);
    const SectorMap map = FatVolumeMapper(disk, fat32 ? 0x0C : 0x06, VOLUME).getSectorMap();
    const u64 lastFirst = dataStart + u64(last - 2) * spc;
    const std::vector<Span> used{{VOLUME, dataStart + spc - 1}, {lastFirst, lastFirst + spc - 1}};
    EXPECT_EQ(spansOf(map), isUsed ? used : (std::vector<Span>{{VOLUME, dataStart - 1}}));
  }

  // What it cannot map is refused.
  struct Case {
    const char* what;
    u8 type;
    bool fat32;
    u32 offset, width, value;  // a field of the boot sector changed, if width is not 0
    VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM;
    const char* message = "Unsupported FAT File System";
  };
  const Case cases[] = {
      {"FAT12 partition type", 0x01, false, 0, 0, 0},
      {"FAT32 type, FAT16 boot sector", 0x0B, false, 0, 0, 0},
      {"FAT16 type, FAT32 boot sector", 0x0E, true, 0, 0, 0},
      {"type text FAT12", 0x06, false, 58, 1, '2'},
      {"type text FAT31", 0x0C, true, 86, 1, '1'},
      {"0 sectors per cluster", 0x06, false, 13, 1, 0},
      {"3 sectors per cluster", 0x0C, true, 13, 1, 3},
      {"no FAT", 0x06, false, 16, 1, 0},
      {"FAT of 0 sectors", 0x0C, true, 36, 4, 0},
      {"FAT larger than the volume", 0x0C, true, 36, 4, 1001},
      {"system area one sector larger than the volume", 0x06, false, 32, 4, 51},
      {"16-bit total sector count takes precedence", 0x06, false, 19, 2, 51},
      {"4096-byte sectors", 0x06, false, 11, 2, 4096, ERR_GENERAL, "Sector Size Mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<u8> boot = bootSector(c.fat32);
    for (u32 i = 0; i < c.width; ++i) boot[c.offset + i] = static_cast<u8>(c.value >> (8 * i));
    FakeDisk disk(512, 20200);
    disk.put(VOLUME * 512, boot);
    EXPECT_TRUE(throwsVantor([&] { FatVolumeMapper(disk, c.type, VOLUME); }, c.code, c.message));
  }
  FakeDisk disk(512, 0xFFFFFFFF);  // keeps only what was written to it
  std::vector<u8> boot = bootSector(false);
  writeLE16(&boot[19], 52);  // 4 reserved + 16 FAT + 32 root directory: as large as the volume
  disk.put(VOLUME * 512, boot);
  EXPECT_EQ(spansOf(FatVolumeMapper(disk, 0x06, VOLUME).getSectorMap()), (std::vector<Span>{{VOLUME, 151}}));

  // Sector numbers beyond 32 bits: a system area past sector FFFFFFFFh, a used cluster
  // past it (the FAT is read again for each map).
  disk.put(u64(0xFFFFFFF0u) * 512, bootSector(false));
  EXPECT_TRUE(throwsVantor([&] { FatVolumeMapper(disk, 0x06, 0xFFFFFFF0u); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                           "Unsupported FAT File System"))
      << "system area past sector FFFFFFFFh";
  const u32 start = 0xFFFF0000u;  // data at FFFF0030h; cluster 600 of 128 sectors lies past the end
  boot = bootSector(true);
  boot[13] = 128;
  disk.put(u64(start) * 512, boot);
  setEntry(disk, true, 100, 0x0FFFFFFF, start);
  FatVolumeMapper mapper(disk, 0x0C, start);
  const u64 cluster100 = start + 48 + 98 * 128;  // still fits
  EXPECT_EQ(spansOf(mapper.getSectorMap()), (std::vector<Span>{{start, start + 47}, {cluster100, cluster100 + 127}}));
  setEntry(disk, true, 600, 0x0FFFFFFF, start);
  EXPECT_TRUE(throwsVantor([&] { (void)mapper.getSectorMap(); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                           "Unsupported FAT File System"));
}

void setMbrEntry(FakeDisk& disk, int index, u8 type, u32 start, u32 count) {
  test::putEntry(disk, 446 + 16 * index, 0, type, start, count);
  disk.put(510, std::vector<u8>{0x55, 0xAA});
}

// A FAT16 and a FAT32 volume past the gap, each partition type in turn: the MBR, the
// non-empty gap sectors below 2048 and each volume's used sectors; the highest sector is
// the last volume's last, which is the drive's last.
TEST(DriveMap, MapsAnEmptyTableTheMbrTheGapBelow2048AndEveryVolume) {
  // An empty table maps sectors 0 to 2048 without reading the gap, also on a drive smaller
  // than that. Otherwise the gap scan reads sectors 1.. one by one up to the smallest start
  // of any slot, also an empty one, adds those holding any non-zero byte, and stops quietly
  // at the first read failure.
  FakeDisk empty(512, 100);
  SectorMap emptyMap;
  u64 emptyHighest = 7;
  getDriveMap(empty, emptyMap, emptyHighest, false);
  EXPECT_EQ(spansOf(emptyMap), (std::vector<Span>{{0, 2048}}));
  EXPECT_EQ(emptyHighest, 0u);
  EXPECT_EQ(empty.calls(), (std::vector<FakeDisk::Call>{{FakeDisk::Op::Read, 0, 1}}));

  FakeDisk scanned(512, 8192);
  setMbrEntry(scanned, 0, 0x07, 500, 10);
  setMbrEntry(scanned, 2, 0x07, 100, 10);
  setMbrEntry(scanned, 3, 0x00, 40, 10);
  for (u32 s : {3u, 39u, 40u}) scanned.put(s * 512 + (s * 37) % 512, std::vector<u8>{1});
  PARTITION_TABLE_ENTRY entries[4];
  std::memcpy(entries, scanned.read(446, 64).data(), sizeof entries);
  for (u32 failing : {20u, 0u}) {
    scanned.clearCalls();
    scanned.gate = [failing](FakeDisk::Op, u32 sector, u32) { return sector != failing; };
    SectorMap gap;
    addSectorRange(gap, makeSectorRange(0, 2));
    findUsedSectorsAfterMbr(scanned, entries, gap);
    const std::vector<Span> found{{0, 1}, {3, 3}, {39, 39}};  // sector 39 only when the scan gets there
    EXPECT_EQ(spansOf(gap), failing ? std::vector<Span>(found.begin(), found.end() - 1) : found);
    std::vector<FakeDisk::Call> reads;
    for (u32 s = 1; s <= (failing ? failing : 39); ++s) reads.push_back({FakeDisk::Op::Read, s, 1});
    EXPECT_EQ(scanned.calls(), reads);
  }

  for (const auto& [fat16, fat32] : {std::pair<u8, u8>{0x04, 0x0B}, {0x06, 0x0C}, {0x0E, 0x0B}}) {
    FakeDisk disk(512, 26000);
    setMbrEntry(disk, 0, fat16, 4096, 20000);
    setMbrEntry(disk, 1, fat32, 25000, 1000);
    for (u32 s : {2047u, 2048u, 3000u}) disk.put(s * 512, std::vector<u8>{1});
    disk.put(4096 * 512, bootSector(false));
    disk.put(25000 * 512, bootSector(true));
    setEntry(disk, false, 2, 0xFFFF, 4096);
    SectorMap map;
    u64 highest = 0;
    getDriveMap(disk, map, highest, false);
    EXPECT_EQ(spansOf(map), (std::vector<Span>{{0, 0}, {2047, 2047}, {4096, 4096 + 55}, {25000, 25047}}));
    EXPECT_EQ(highest, 25999u);
    // A read that fails ends the map with the error of what it read.
    const std::pair<u32, const char*> failures[] = {
        {0, "Failed to read MBR"}, {25000, "Error reading volume boot record"}, {4100, "Error reading FAT table"}};
    for (const auto& [bad, message] : failures) {
      disk.gate = [bad = bad](FakeDisk::Op, u32 first, u32 count) { return bad < first || bad - first >= count; };
      EXPECT_TRUE(throwsVantor([&] { getDriveMap(disk, map, highest, false); }, ERR_DISK_ACCESS, message)) << bad;
    }
  }
}

// One sector too many for the drive is refused unless volumes may reach past it; a type
// other than the five FAT ones is refused.
TEST(DriveMap, RefusesForeignPartitionsAndVolumesPastTheDrive) {
  // {what, the entries ({start, size, type} each), volumes allowed past the drive, the code
  // and message, what highestVolumeSector holds after the failure}
  const std::string foreign = "Unsupported partition ID found in MBR : ";
  const std::tuple<const char*, std::vector<std::array<u32, 3>>, bool, VantorErrorCodes, std::string, u64> cases[] = {
      {"extended partition", {{4000, 100, 0x0F}}, false, ERR_UNSUPPORTED_FILE_SYSTEM, foreign + "0Fh", 4099},
      {"too long and foreign: the extent check comes first", {{2048, 7953, 0x07}}, false, ERR_VOLUME_EXCEEDS_DRIVE,
       "Last volume sector exceeds drive extents.\n"
       "   Volume Sectors: [00000800h, 00002710h]\n"
       "   Drive Sectors:  [00000000h, 0000270Fh]\n",
       0},
      {"too long, but allowed", {{2048, 100000, 0x07}}, true, ERR_UNSUPPORTED_FILE_SYSTEM, foreign + "07h", 102047},
      {"first failing entry in table order ends the map", {{0, 0, 0}, {3000, 10, 0x07}, {2048, 7953, 0x06}}, false,
       ERR_UNSUPPORTED_FILE_SYSTEM, foreign + "07h", 3009},
  };
  for (const auto& [what, entries, allowBeyond, code, message, highestAfter] : cases) {
    SCOPED_TRACE(what);
    FakeDisk disk(512, 10000);
    for (std::size_t i = 0; i < entries.size(); ++i)
      setMbrEntry(disk, int(i), u8(entries[i][2]), entries[i][0], entries[i][1]);
    SectorMap map;
    addSectorRange(map, makeSectorRange(77, 3));
    u64 highest = 0;
    EXPECT_TRUE(throwsVantor([&, beyond = allowBeyond] { getDriveMap(disk, map, highest, beyond); }, code, message));
    EXPECT_EQ(spansOf(map), (std::vector<Span>{{77, 79}})) << "the caller's map is untouched";
    EXPECT_EQ(highest, highestAfter);
  }
}

}  // namespace
}  // namespace vantor

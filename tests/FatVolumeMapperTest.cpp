// The FAT volume mapper: system area plus every used cluster of the first FAT, against
// volumes made by the real tools, and hand-made boot sectors for what they never produce.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <cstring>
#include <set>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/FatVolumeMapper.h>
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
using test::Span;
using test::spansOf;
using test::TempDir;
using test::throwsVantor;

// ---------------------------------------------------------------------------------------
// Volumes made by mkfs.fat, filled by mtools (files in nested directories, holes left by
// deleted files, a file filling a hole in fragments); mtools and fsck.fat say what is used.

TEST(FatVolumeMapper, MapsExactlyTheSystemAreaAndTheClustersToolsReportInUse) {
  VANTOR_REQUIRE_TOOLS();
  struct RealVolume {
    const char* what;
    u8 type;
    int fatBits;
    u32 start, count;
    const char* options;
    std::vector<u32> badBlocks;   // 1 KiB blocks of the volume handed to mkfs.fat -l
    std::vector<u32> patchedBad;  // clusters marked bad in the FAT afterwards
    u16 fsckRootEntries;          // not 0: what fsck.fat (whole root sectors only) is shown
  };
  const RealVolume volumes[] = {
      // -a -r 100: 100 root entries in 7 sectors, the last one partly used
      {"FAT16 06h, 4-sector clusters, 100 root entries", 0x06, 16, 2048, 65536, "-s 4 -a -r 100", {}, {}, 112},
      {"FAT16 0Eh, 1-sector clusters, one FAT", 0x0E, 16, 63, 40000, "-s 1 -f 1", {}, {}, 0},
      {"FAT16 04h, bad blocks from mkfs.fat", 0x04, 16, 128, 60000, "-s 2", {20000, 20001, 25000}, {}, 0},
      {"FAT16 06h, cluster marked bad in the FAT", 0x06, 16, 2048, 65536, "-s 8", {}, {3000}, 0},
      {"FAT32 0Ch, 1-sector clusters", 0x0C, 32, 2048, 140000, "-s 1", {}, {}, 0},
      {"FAT32 0Bh, 2-sector clusters, cluster marked bad", 0x0B, 32, 4096, 300000, "-s 2", {}, {60000}, 0},
  };
  for (const RealVolume& v : volumes) {
    SCOPED_TRACE(v.what);
    TempDir dir;
    FatImage image(dir.file("disk.img"), v.start + v.count + 100);
    image.partition({{v.start, v.count, v.type}});
    std::string options = v.options, list;
    for (u32 b : v.badBlocks) list += std::to_string(b) + "\n";
    if (!list.empty()) {
      test::writeFile(dir.file("bad.txt"), list);
      options += " -l " + dir.file("bad.txt");
    }
    image.format(v.start, v.count, v.fatBits, options);
    const u32 at = v.start;
    image.makeDirectory(at, "::/dir");
    image.makeDirectory(at, "::/dir/sub");
    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::size_t>>{
             {"::/a.bin", 100000}, {"::/b.bin", 5000}, {"::/dir/c.bin", 300000}, {"::/dir/sub/d.txt", 1},
             {"::/empty.bin", 0}, {"::/e.bin", 70000}})
      image.addFile(at, name, bytes, u32(bytes));
    image.remove(at, "::/b.bin");
    image.remove(at, "::/dir/sub/");
    image.addFile(at, "::/dir/f.bin", 150000, 7);
    for (u32 c : v.patchedBad) image.setFatEntry(at, c, v.fatBits == 16 ? 0xFFF7 : 0x0FFFFFF7);

    const u64 rootEntriesAt = u64(at) * 512 + 17;
    const std::string madeRootEntries = image.readBytes(rootEntriesAt, 2);
    if (v.fsckRootEntries != 0) image.writeBytes(rootEntriesAt, {char(v.fsckRootEntries), char(v.fsckRootEntries >> 8)});
    const test::FatCheck check = image.check(at, v.count);
    image.writeBytes(rootEntriesAt, madeRootEntries);
    std::set<u32> used = image.clustersInUse(at);
    used.insert(v.patchedBad.begin(), v.patchedBad.end());
    for (u32 block : v.badBlocks) {
      for (u32 s = 2 * block; s < 2 * block + 2; ++s) used.insert((s - check.dataStartSector) / check.sectorsPerCluster + 2);
    }
    ASSERT_EQ(used.size(), check.usedClusters) << "mtools and fsck.fat disagree:\n" << check.output;

    WinDiskFile disk(image.path(), WinDiskFile::OpenExisting, 512, 0);
    ASSERT_TRUE(disk.isOpen());
    const SectorMap map = FatVolumeMapper(disk, v.type, at).getSectorMap();
    EXPECT_EQ(spansOf(map), spansOf(FatImage::sectorsInUse(at, check, used)));
  }
}

// ---------------------------------------------------------------------------------------
// Hand-made boot sectors.

struct Bpb {
  u32 typeTextOffset = 54;
  const char* typeText = "FAT16   ";
  u16 bytesPerSector = 512;
  u8 sectorsPerCluster = 4;
  u16 reserved = 4;
  u8 fats = 2;
  u16 rootEntries = 512;
  u16 sectorsPerFat16 = 16;
  u32 sectorsPerFat32 = 0;
  u16 totalSectors16 = 0;
  u32 totalSectors32 = 20000;
};

// FAT16 at sector 100: FAT at 104 (16 sectors, 4096 entries), root at 136, data at 168.
Bpb fat16() { return Bpb{}; }
// FAT32 at sector 100: FAT at 132 (8 sectors, 1024 entries), data at 148, 1000 sectors.
Bpb fat32() {
  Bpb b;
  b.typeTextOffset = 82;
  b.typeText = "FAT32   ";
  b.sectorsPerCluster = 1;
  b.reserved = 32;
  b.rootEntries = 0;
  b.sectorsPerFat16 = 0;
  b.sectorsPerFat32 = 8;
  b.totalSectors32 = 1000;
  return b;
}
constexpr u32 VOLUME = 100;

void writeBoot(u8* boot, const Bpb& b) {
  std::memset(boot, 0, 512);
  writeLE16(boot + 11, b.bytesPerSector);
  boot[13] = b.sectorsPerCluster;
  writeLE16(boot + 14, b.reserved);
  boot[16] = b.fats;
  writeLE16(boot + 17, b.rootEntries);
  writeLE16(boot + 19, b.totalSectors16);
  writeLE16(boot + 22, b.sectorsPerFat16);
  writeLE32(boot + 32, b.totalSectors32);
  writeLE32(boot + 36, b.sectorsPerFat32);
  std::memcpy(boot + b.typeTextOffset, b.typeText, std::strlen(b.typeText));
  boot[510] = 0x55;
  boot[511] = 0xAA;
}

void writeBoot(FakeDisk& disk, const Bpb& b, u32 at = VOLUME) {
  u8 boot[512];
  writeBoot(boot, b);
  disk.put(u64(at) * 512, boot, 512);
}

void setEntry(FakeDisk& disk, const Bpb& b, u32 cluster, u32 value, u32 at = VOLUME) {
  u8 entry[4];
  writeLE32(entry, value);
  const bool fat32 = b.sectorsPerFat16 == 0;
  disk.put((u64(at) + b.reserved) * 512 + (fat32 ? 4 : 2) * cluster, entry, fat32 ? 4 : 2);
}

TEST(FatVolumeMapper, CountsAllocatedEndOfChainAndBadEntriesAsUsed) {
  struct Case {
    bool fat32;
    u32 value;
    bool used;
  };
  const Case cases[] = {
      {false, 0x0000, false},    {false, 0x0001, false},    {false, 0x0002, true},     {false, 0xFFEF, true},
      {false, 0xFFF0, false},    {false, 0xFFF6, false},    {false, 0xFFF7, true},     {false, 0xFFFF, true},
      {true, 0x0FFFFFEF, true},  {true, 0x0FFFFFF0, false}, {true, 0x0FFFFFF6, false}, {true, 0x0FFFFFF7, true},
      {true, 0x0FFFFFFF, true},  {true, 0xF0000000, false}, {true, 0xF0000005, true},  {true, 0x1FFFFFF7, true},
      {true, 0xFFFFFFF6, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.fat32 ? "FAT32 " : "FAT16 ") << std::hex << c.value);
    const Bpb b = c.fat32 ? fat32() : fat16();
    const u32 type = c.fat32 ? 0x0C : 0x06;
    const u32 dataStart = c.fat32 ? 148 : 168;
    FakeDisk disk(512, 20200);
    writeBoot(disk, b);
    setEntry(disk, b, 10, c.value);
    const SectorMap map = FatVolumeMapper(disk, static_cast<u8>(type), VOLUME).getSectorMap();
    std::vector<Span> expected{{VOLUME, dataStart - 1}};
    if (c.used) {
      const u64 first = dataStart + u64(8) * b.sectorsPerCluster;
      expected.push_back({first, first + b.sectorsPerCluster - 1});
    }
    EXPECT_EQ(spansOf(map), expected);
  }
}

TEST(FatVolumeMapper, WalksEveryEntryTheFatHoldsEvenPastTheVolume) {
  FakeDisk disk(512, 2000);
  const Bpb b = fat32();  // 1000 sectors, but 1024 entries: cluster 1023 would lie at 1169
  writeBoot(disk, b);
  setEntry(disk, b, 1023, 0x0FFFFFFF);
  EXPECT_EQ(spansOf(FatVolumeMapper(disk, 0x0C, VOLUME).getSectorMap()),
            (std::vector<Span>{{VOLUME, 147}, {1169, 1169}}));
}

TEST(FatVolumeMapper, ReadsTheBootSectorOnceAndTheFirstFatInOneRequest) {
  FakeDisk disk(512, 20200);
  writeBoot(disk, fat16());
  FatVolumeMapper mapper(disk, 0x06, VOLUME);
  EXPECT_EQ(disk.calls(), (std::vector<FakeDisk::Call>{{FakeDisk::Op::Read, VOLUME, 1}}));
  disk.clearCalls();
  (void)mapper.getSectorMap();
  EXPECT_EQ(disk.calls(), (std::vector<FakeDisk::Call>{{FakeDisk::Op::Read, VOLUME + 4, 16}}));
}

TEST(FatVolumeMapper, RefusesWhatItCannotMap) {
  struct Case {
    const char* what;
    u8 type;
    Bpb bpb;
    VantorErrorCodes code;
    const char* message;
  };
  auto with = [](Bpb b, auto change) {
    change(b);
    return b;
  };
  const char* unsupported = "Unsupported FAT File System";
  const Case cases[] = {
      {"FAT12 partition type", 0x01, fat16(), ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"NTFS partition type", 0x07, fat16(), ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"FAT32 type, FAT16 boot sector", 0x0B, fat16(), ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"FAT16 type, FAT32 boot sector", 0x0E, fat32(), ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"FAT12 text", 0x06, with(fat16(), [](Bpb& b) { b.typeText = "FAT12   "; }), ERR_UNSUPPORTED_FILE_SYSTEM,
       unsupported},
      {"type text checked before sector size", 0x06, with(fat16(), [](Bpb& b) {
         b.typeText = "FAT12   ";
         b.bytesPerSector = 4096;
       }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"4096-byte sectors", 0x06, with(fat16(), [](Bpb& b) { b.bytesPerSector = 4096; }), ERR_GENERAL,
       "Sector Size Mismatch"},
      {"0 sectors per cluster", 0x06, with(fat16(), [](Bpb& b) { b.sectorsPerCluster = 0; }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"3 sectors per cluster", 0x0C, with(fat32(), [](Bpb& b) { b.sectorsPerCluster = 3; }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"no FAT", 0x06, with(fat16(), [](Bpb& b) { b.fats = 0; }), ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"FAT of 0 sectors", 0x0C, with(fat32(), [](Bpb& b) { b.sectorsPerFat32 = 0; }), ERR_UNSUPPORTED_FILE_SYSTEM,
       unsupported},
      {"FAT larger than the volume", 0x0C, with(fat32(), [](Bpb& b) { b.sectorsPerFat32 = 1001; }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"system area one sector larger than the volume", 0x06, with(fat16(), [](Bpb& b) { b.totalSectors32 = 67; }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
      {"16-bit total sector count takes precedence", 0x06, with(fat16(), [](Bpb& b) { b.totalSectors16 = 67; }),
       ERR_UNSUPPORTED_FILE_SYSTEM, unsupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, 20200);
    writeBoot(disk, c.bpb);
    EXPECT_TRUE(throwsVantor([&] { FatVolumeMapper(disk, c.type, VOLUME); }, c.code, c.message));
  }
}

TEST(FatVolumeMapper, AcceptsASystemAreaAsLargeAsTheVolume) {
  FakeDisk disk(512, 20200);
  Bpb b = fat16();
  b.totalSectors16 = 68;  // 4 reserved + 2 x 16 FAT + 32 root directory
  writeBoot(disk, b);
  EXPECT_EQ(spansOf(FatVolumeMapper(disk, 0x06, VOLUME).getSectorMap()), (std::vector<Span>{{VOLUME, 167}}));
}

// A disk of 2^32 - 1 sectors; FakeDisk keeps only what was written to it.
FakeDisk hugeDisk() { return FakeDisk(512, 0xFFFFFFFF); }

TEST(FatVolumeMapper, RefusesSectorNumbersBeyond32Bits) {
  {
    SCOPED_TRACE("system area past sector FFFFFFFFh");
    FakeDisk disk = hugeDisk();
    writeBoot(disk, fat16(), 0xFFFFFFF0u);
    EXPECT_TRUE(throwsVantor([&] { FatVolumeMapper(disk, 0x06, 0xFFFFFFF0u); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                             "Unsupported FAT File System"));
  }
  {
    SCOPED_TRACE("used cluster past sector FFFFFFFFh");
    const u32 start = 0xFFFF0000u;  // data at FFFF0030h; cluster 600 of 128 sectors lies past the end
    FakeDisk disk = hugeDisk();
    Bpb b = fat32();
    b.sectorsPerCluster = 128;
    writeBoot(disk, b, start);
    setEntry(disk, b, 100, 0x0FFFFFFF, start);
    FatVolumeMapper mapper(disk, 0x0C, start);
    const SectorMap map = mapper.getSectorMap();  // cluster 100 still fits
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[1].firstSector, start + 48 + 98 * 128);
    setEntry(disk, b, 600, 0x0FFFFFFF, start);
    EXPECT_TRUE(throwsVantor([&] { (void)mapper.getSectorMap(); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                             "Unsupported FAT File System"));
  }
}

TEST(FatVolumeMapper, FailedReadsEndInDiskAccessErrorsAndLeaveTheMapperUsable) {
  FakeDisk disk(512, 20200);
  writeBoot(disk, fat16());
  disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != VOLUME; };
  EXPECT_TRUE(throwsVantor([&] { FatVolumeMapper(disk, 0x06, VOLUME); }, ERR_DISK_ACCESS,
                           "Error reading volume boot record"));

  disk.gate = nullptr;
  setEntry(disk, fat16(), 2, 0xFFFF);
  FatVolumeMapper mapper(disk, 0x06, VOLUME);
  disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != VOLUME + 4; };
  EXPECT_TRUE(throwsVantor([&] { (void)mapper.getSectorMap(); }, ERR_DISK_ACCESS, "Error reading FAT table"));
  disk.gate = nullptr;
  EXPECT_EQ(spansOf(mapper.getSectorMap()), (std::vector<Span>{{VOLUME, 171}}));
}

// Capping the address space is a POSIX facility (setrlimit), and the sanitizers need more.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
// Runs in a child process: 0 when the mapper answered as it should.
int mapWithAddressSpaceCapped(FakeDisk& disk) {
  FatVolumeMapper mapper(disk, 0x0C, 0);
  const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) return 2;
  try {
    (void)mapper.getSectorMap();
  } catch (const VantorException& e) {
    const bool expected =
        e.getErrorCode() == ERR_GENERAL && e.getMessage().str() == "Problem getting buffer for FAT table";
    return expected ? 0 : 3;
  }
  return 4;
}

TEST(FatVolumeMapper, NoMemoryForTheFatIsAGeneralError) {
  // A FAT of 4 GiB - 512 bytes, in a process whose address space is capped far below that.
  FakeDisk disk = hugeDisk();
  Bpb b = fat32();
  b.sectorsPerFat32 = 0x7FFFFF;
  b.totalSectors32 = 0xFFFFFFFF;
  writeBoot(disk, b, 0);
  EXPECT_EXIT(std::_Exit(mapWithAddressSpaceCapped(disk)), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace vantor

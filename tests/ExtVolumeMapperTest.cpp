// The ext2/ext3/ext4 mapper against volumes made by mke2fs and filled by mke2fs -d and
// debugfs (fragmented files, deleted files): the map must equal the complement of the free
// blocks dumpe2fs lists, and a copy of only the mapped sectors into random bytes must pass
// e2fsck and read back every file unchanged. Damaged superblocks and descriptors of a real
// volume are refused with their message; a 64 GiB volume is mapped in well under 150 ms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/ExtLayout.h>
#include <libVantor/internal/ExtVolumeMapper.h>

#include "support/FakeDisk.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"

namespace vantor {
namespace {

using test::capture;
using test::FakeDisk;
using test::runOrThrow;
using test::shellQuote;
using test::TempDir;

// A volume made by `mkfs` with `options` on `mib` MiB, filled with files of mixed sizes
// (some written in a fragmented free space, some deleted again).
std::string makeVolume(const TempDir& dir, const std::string& mkfs, const std::string& options, u32 mib) {
  const std::string image = dir.file("volume"), content = dir.file("content");
  runOrThrow("mkdir -p " + content + "/sub/deeper && cd " + content +
             " && : > empty && printf x > one && head -c 5000 /dev/urandom > small"
             " && head -c 300000 /dev/urandom > sub/medium && head -c 3000000 /dev/urandom > sub/deeper/large"
             " && for i in $(seq 1 40); do head -c $((i * 1500)) /dev/urandom > sub/f$i; done");
  runOrThrow("truncate -s " + std::to_string(mib) + "M " + image + " && " + mkfs + " -q -F " + options + " -d " +
             content + " " + image);
  // Small files, every other one removed, then a large one written into the holes.
  std::ostringstream commands;
  for (int i = 0; i < 24; ++i) commands << "write " << content << "/small g" << i << "\n";
  for (int i = 0; i < 24; i += 2) commands << "rm g" << i << "\n";
  commands << "write " << content << "/sub/deeper/large fragmented\nrm sub/f7\nrm sub/f30\n";
  test::writeFile(dir.file("commands"), commands.str());
  runOrThrow("debugfs -w -f " + dir.file("commands") + " " + image + " >/dev/null");
  return image;
}

// Used blocks by dumpe2fs: everything below the block count that no "Free blocks:" line lists.
std::vector<std::pair<u64, u64>> usedBlocksByDumpe2fs(const std::string& image, u64& blockCount) {
  std::istringstream text(capture("dumpe2fs " + image + " 2>/dev/null"));
  std::vector<bool> used;
  for (std::string line; std::getline(text, line);) {
    if (line.rfind("Block count:", 0) == 0) used.assign(blockCount = std::stoull(line.substr(12)), true);
    const auto at = line.find("Free blocks: ");
    if (at == std::string::npos || line[0] != ' ') continue;
    std::istringstream ranges(line.substr(at + 13));
    for (std::string r; std::getline(ranges, r, ',');) {
      const auto dash = r.find('-');
      const u64 a = std::stoull(r), b = dash == std::string::npos ? a : std::stoull(r.substr(dash + 1));
      for (u64 x = a; x <= b; ++x) used.at(x) = false;
    }
  }
  std::vector<std::pair<u64, u64>> runs;  // [first, end)
  for (u64 b = 0; b < used.size(); ++b) {
    if (!used[b]) continue;
    if (!runs.empty() && runs.back().second == b) {
      ++runs.back().second;
    } else {
      runs.emplace_back(b, b + 1);
    }
  }
  return runs;
}

std::vector<std::pair<u64, u64>> spans(const SectorMap& map) {  // [first, end)
  std::vector<std::pair<u64, u64>> out;
  for (const SectorRange& r : map) out.emplace_back(r.firstSector, r.lastSector + 1);
  return out;
}

// Every file under `root` with its SHA-256, by relative path.
std::string digests(const std::string& root) {
  return capture("cd " + root + " && find . -type f | sort | xargs -r -d '\\n' sha256sum");
}

struct Variant {
  const char* name;
  const char* mkfs;
  const char* options;
  u32 mib;
  u32 sectorSize;
  u32 offsetSectors;  // where the volume starts in the disk file
  const char* variantName;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class ExtVolumeMapperOnRealVolumes : public ::testing::TestWithParam<Variant> {};

TEST_P(ExtVolumeMapperOnRealVolumes, MapsWhatDumpe2fsCallsUsedAndACopyOfItIsComplete) {
  const Variant& v = GetParam();
  TempDir dir;
  const std::string volume = makeVolume(dir, v.mkfs, v.options, v.mib);
  const u64 volumeBytes = u64(v.mib) << 20, volumeSectors = volumeBytes / v.sectorSize;
  // The volume inside a larger disk file of random bytes.
  const std::string drive = dir.file("drive");
  runOrThrow("head -c " + std::to_string(u64(v.offsetSectors) * v.sectorSize + volumeBytes + (1 << 20)) +
             " /dev/urandom > " + drive + " && dd if=" + volume + " of=" + drive + " bs=" +
             std::to_string(v.sectorSize) + " seek=" + std::to_string(v.offsetSectors) + " conv=notrunc status=none");
  WinDiskFile disk(drive.c_str(), WinDiskFile::OpenExisting, v.sectorSize, 0);
  ASSERT_TRUE(disk.isOpen());

  const std::string head = test::readFile(volume).substr(0, 4096);
  EXPECT_TRUE(ExtVolumeMapper::recognises(reinterpret_cast<const u8*>(head.data()), head.size()));
  const ExtVolumeMapper mapper(disk, v.offsetSectors, volumeSectors);
  EXPECT_STREQ(mapper.getVariantName(), v.variantName);
  u64 usedBlocks = 0;
  const SectorMap map = mapper.getSectorMap(&usedBlocks);

  // (1) The complement of dumpe2fs's free blocks, in drive sectors.
  u64 blockCount = 0;
  const auto used = usedBlocksByDumpe2fs(volume, blockCount);
  ASSERT_EQ(mapper.getBlockCount(), blockCount);
  const u64 bs = mapper.getBlockBytes();
  u64 expectedCount = 0;
  std::vector<std::pair<u64, u64>> expected;
  for (const auto& r : used) {
    expectedCount += r.second - r.first;
    const u64 a = v.offsetSectors + r.first * bs / v.sectorSize,
              b = v.offsetSectors + (r.second * bs + v.sectorSize - 1) / v.sectorSize;
    if (!expected.empty() && expected.back().second >= a) {
      expected.back().second = b;
    } else {
      expected.emplace_back(a, b);
    }
  }
  EXPECT_EQ(spans(map), expected);
  EXPECT_EQ(usedBlocks, expectedCount);

  // (2) Only the mapped sectors, copied into random bytes, make a whole volume.
  const std::string copy = dir.file("copy");
  runOrThrow("head -c " + std::to_string(volumeBytes) + " /dev/urandom > " + copy);
  {
    std::ifstream in(drive, std::ios::binary);
    std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<char> buffer;
    for (const SectorRange& r : map) {
      ASSERT_GE(r.firstSector, v.offsetSectors);
      ASSERT_LE(r.lastSector, v.offsetSectors + volumeSectors - 1);
      buffer.resize(u64(r.numSectors) * v.sectorSize);
      in.seekg(std::streamoff(u64(r.firstSector) * v.sectorSize));
      in.read(buffer.data(), std::streamsize(buffer.size()));
      out.seekp(std::streamoff(u64(r.firstSector - v.offsetSectors) * v.sectorSize));
      out.write(buffer.data(), std::streamsize(buffer.size()));
    }
    ASSERT_TRUE(in && out);
  }
  EXPECT_NO_THROW(runOrThrow("e2fsck -fn " + copy));
  runOrThrow("mkdir " + dir.file("a") + " " + dir.file("b") + " && debugfs -R 'rdump / " + dir.file("a") + "' " +
             volume + " 2>/dev/null && debugfs -R 'rdump / " + dir.file("b") + "' " + copy + " 2>/dev/null");
  const std::string original = digests(dir.file("a"));
  EXPECT_NE(original.find("fragmented"), std::string::npos);
  EXPECT_EQ(digests(dir.file("b")), original);
}

INSTANTIATE_TEST_SUITE_P(
    Mke2fs, ExtVolumeMapperOnRealVolumes,
    ::testing::Values(
        Variant{"ext2_1k", "mkfs.ext2", "-b 1024", 24, 512, 0, "ext2"},
        Variant{"ext3_4k_offset", "mkfs.ext3", "-b 4096 -g 4096", 64, 512, 2048, "ext3"},
        Variant{"ext4_flex_uninit", "mkfs.ext4", "-b 4096 -g 4096 -E lazy_itable_init=1", 96, 512, 63, "ext4"},
        Variant{"ext4_no_flex_uninit_bg_1k", "mkfs.ext4", "-b 1024 -O ^flex_bg,^metadata_csum,uninit_bg", 40, 512, 0, "ext4"},
        Variant{"ext4_64bit_4k_sectors", "mkfs.ext4", "-b 4096 -g 2048 -O 64bit", 64, 4096, 256, "ext4"},
        Variant{"ext4_meta_bg_1k", "mkfs.ext4", "-b 1024 -g 1024 -O meta_bg,^resize_inode", 48, 512, 1, "ext4"},
        Variant{"ext4_1k_on_4k_sectors", "mkfs.ext4", "-b 1024 -g 2048", 32, 4096, 8, "ext4"},
        Variant{"ext4_sparse_super2", "mkfs.ext4", "-b 4096 -g 2048 -O sparse_super2", 48, 512, 0, "ext4"},
        Variant{"ext4_64bit_meta_bg_2k", "mkfs.ext4", "-b 2048 -g 512 -O 64bit,meta_bg,^resize_inode", 40, 512, 0,
                "ext4"}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

// Copies of one real volume (64bit, 1 KiB blocks, 16 groups) at sector 8 of a FakeDisk,
// each damaged in one field.
TEST(ExtVolumeMapper, RefusesDamagedOrUnknownMetadataNamingTheProblem) {
  TempDir dir;
  const std::string image = dir.file("v");
  runOrThrow("truncate -s 16M " + image + " && mkfs.ext4 -q -F -b 1024 -g 1024 -O 64bit " + image);
  const std::string bytes = test::readFile(image);
  constexpr u32 START = 8, SB = START * 512 + ext::SUPERBLOCK_OFFSET, DESC = START * 512 + 2048;
  const u64 blocks = 16384, sectors = blocks * 2;
  struct Case {
    const char* what;
    u32 offset, value;  // a 32-bit field to set (none when offset is 0)
    bool addBits;       // or `value` into the field instead
    u64 volumeSectors;
    VantorErrorCodes code;
    const char* message;
  };
  const Case cases[] = {
      {"bad magic", SB + ext::SB_MAGIC, 0xEF54, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "no ext superblock (magic EF53h missing)"},
      {"absurd block size", SB + ext::SB_LOG_BLOCK_SIZE, 7, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "block size 2^(10+7) is out of range (1 to 64 KiB)"},
      {"unknown incompat bit", SB + ext::SB_FEATURE_INCOMPAT, 0x80000, true, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "unknown incompatible feature 00080000h"},
      {"bigalloc", SB + ext::SB_FEATURE_RO_COMPAT, ext::RO_COMPAT_BIGALLOC, true, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "unsupported feature bigalloc"},
      {"journal to replay", SB + ext::SB_FEATURE_INCOMPAT, ext::INCOMPAT_RECOVER, true, sectors,
       ERR_UNSUPPORTED_FILE_SYSTEM, "unsupported feature needs_recovery (the journal must be replayed first)"},
      {"group count overflows", SB + ext::SB_BLOCKS_COUNT_HI, 0x1000, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "group count overflows"},
      {"group count mismatch", SB + ext::SB_INODES_COUNT, 4097, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "group count mismatch: 16 groups of 256 inodes, but 4097 inodes"},
      {"no blocks per group", SB + ext::SB_BLOCKS_PER_GROUP, 0, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "0 blocks per group is out of range"},
      {"larger than the partition", 0, 0, false, sectors - 1, ERR_UNSUPPORTED_FILE_SYSTEM,
       "the file system (16384 blocks of 1024 bytes) is larger than the partition (32767 sectors)"},
      {"bitmap outside", DESC + 3 * 64 + ext::BG_BLOCK_BITMAP_LO, 20000, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "group 3: block bitmap at block 20000 lies outside the volume"},
      {"inode table past the end", DESC + 15 * 64 + ext::BG_INODE_TABLE_LO, 16380, false, sectors,
       ERR_UNSUPPORTED_FILE_SYSTEM, "group 15: inode table at block 16380 lies outside the volume"},
      {"uninit flag with a failing checksum", DESC + 5 * 64 + 0x0C, 1234, false, sectors, ERR_UNSUPPORTED_FILE_SYSTEM,
       "group 5: flagged BLOCK_UNINIT, but its descriptor checksum fails"},
      {"descriptor read fails", 0, 0, false, sectors, ERR_DISK_ACCESS, "error reading 2 sectors at sector 0000000Ch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk(512, START + u32(sectors) + 8);
    disk.put(START * 512, bytes.data(), bytes.size());
    if (c.offset) {
      u8 field[4];
      writeLE32(
          field,
          c.value | (c.addBits ? readLE32(reinterpret_cast<const u8*>(bytes.data()) + c.offset - START * 512) : 0));
      disk.put(c.offset, field, c.offset == SB + ext::SB_MAGIC ? 2 : 4);
    }
    if (c.code == ERR_DISK_ACCESS) disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != 12; };
    EXPECT_TRUE(test::throwsVantor([&] { ExtVolumeMapper(disk, START, c.volumeSectors).getSectorMap(); }, c.code,
                                   std::string("ext volume at sector 00000008h: ") + c.message));
  }
}

// As mkfs.ext4 makes it (most groups BLOCK_UNINIT), and with every group's bitmap to read.
TEST(ExtVolumeMapper, MapsA64GiBVolumeWellUnder150Milliseconds) {
  for (const char* options : {"", "-O ^metadata_csum,^uninit_bg"}) {
    TempDir dir;
    const std::string image = dir.file("big");
    runOrThrow("truncate -s 64G " + image + " && mkfs.ext4 -q -F " + std::string(options) + " " + image);
    WinDiskFile disk(image.c_str(), WinDiskFile::OpenExisting, 512, 0);
    const auto start = std::chrono::steady_clock::now();
    u64 used = 0;
    const SectorMap map = ExtVolumeMapper(disk, 0, disk.getSizeSectors()).getSectorMap(&used);
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("64 GiB volume (mkfs.ext4 %s): %u runs, %llu used blocks, mapped in %.1f ms\n", options,
                unsigned(map.size()), static_cast<unsigned long long>(used), ms);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(ms, 150.0) << options;
#endif
  }
}

}  // namespace
}  // namespace vantor

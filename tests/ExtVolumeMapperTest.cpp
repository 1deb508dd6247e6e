// The ext2/ext3/ext4 mapper against volumes made by mke2fs and filled through a loop
// mount (VolumeKit): the map must equal the complement of the free blocks dumpe2fs
// lists, and a copy of only the mapped sectors into random bytes must be the same
// volume. Damaged superblocks and descriptors of a real volume are refused with their
// message.
#include <gtest/gtest.h>

#include <tuple>

#include <libVantor/LittleEndian.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/ExtLayout.h>
#include <libVantor/internal/ExtVolumeMapper.h>

#include "support/Imaging.h"
#include "support/TempDir.h"
#include "support/VolumeKit.h"

namespace vantor::test {
namespace {

// Prints the map dumpe2fs implies for the volume file $1 at sector $2 of a disk of $3-byte
// sectors, as merged runs "first count": every block no "Free blocks:" line lists; then
// "used N", the count of those blocks.
const char* const DUMPE2FS_MAP = R"PY(
import re, subprocess, sys
text = subprocess.run(['dumpe2fs', sys.argv[1]], capture_output=True, text=True, check=True).stdout
used = [True] * int(re.search(r'^Block count: *(\d+)', text, re.M).group(1))
size = int(re.search(r'^Block size: *(\d+)', text, re.M).group(1))
for ranges in re.findall(r'^ .*Free blocks: (.*)$', text, re.M):
    for r in filter(None, ranges.split(', ')):
        a, _, b = r.partition('-')
        for x in range(int(a), int(b or a) + 1): used[x] = False
first, ss = int(sys.argv[2]), int(sys.argv[3])
runs = []
for b in [b for b in range(len(used)) if used[b]]:
    s, e = first + b * size // ss, first + ((b + 1) * size + ss - 1) // ss
    if runs and s <= runs[-1][1]: runs[-1][1] = max(runs[-1][1], e)
    else: runs.append([s, e])
for s, e in runs: print(s, e - s)
print('used', sum(used))
)PY";

TEST(ExtVolumeMapper, MapsWhatDumpe2fsCallsUsedAndACopyOfItIsTheSameVolume) {
  if (const std::string why = VolumeKit::unavailable(); !why.empty()) GTEST_SKIP() << why;
  // {the file system, mke2fs options, MiB, the disk's sector size, the offset in disk sectors}
  const std::tuple<VolumeKind, const char*, u32, u32, u32> cases[] = {
      {VolumeKind::Ext2, "-b 1024", 24, 512, 0},
      {VolumeKind::Ext3, "-b 4096 -g 4096", 64, 512, 2048},
      {VolumeKind::Ext4, "-b 4096 -g 4096 -E lazy_itable_init=1", 96, 512, 63},
      {VolumeKind::Ext4, "-b 1024 -O ^flex_bg,^metadata_csum,uninit_bg", 40, 512, 0},
      {VolumeKind::Ext4, "-b 1024 -g 2048", 32, 4096, 8},
      {VolumeKind::Ext4, "-b 4096 -g 2048 -O sparse_super2", 48, 512, 0},
      {VolumeKind::Ext4, "-b 2048 -g 512 -O 64bit,meta_bg,^resize_inode", 40, 4096, 256},
  };
  for (const auto& [kind, options, mib, sectorSize, offset] : cases) {
    SCOPED_TRACE(std::string(nameOf(kind)) + " " + options);
    TempDir dir;
    const VolumeKit kit(dir.path());
    const std::string volume = dir.file("volume.img"), drive = dir.file("drive.img");
    const u64 sectors = u64(mib) << 11, first = u64(offset) * sectorSize / 512;
    kit.make(volume, kind, sectors, 0, options);
    VolumeKit::place(volume, drive, first);
    WinDiskFile disk(drive.c_str(), WinDiskFile::OpenExisting, sectorSize, 0);
    u64 used = 0;
    const SectorMap map = ExtVolumeMapper(disk, offset, sectors * 512 / sectorSize).getSectorMap(&used);
    EXPECT_EQ(describe(map) + "used " + std::to_string(used) + "\n",
              runOrThrow("python3 -c " + shellQuote(DUMPE2FS_MAP) + " " + volume + " " + std::to_string(offset) + " " +
                         std::to_string(sectorSize)));
    EXPECT_EQ(kit.mappedCopyProblems(drive, sectorSize, map, first, sectors, kind), "");
  }
}

// Copies of one real volume (64bit, 1 KiB blocks, 16 groups) at sector 8 of a FakeDisk,
// each damaged in one field.
TEST(ExtVolumeMapper, RefusesDamagedOrUnknownMetadataNamingTheProblem) {
  TempDir dir;
  runOrThrow("truncate -s 16M " + dir.file("v") + " && mkfs.ext4 -q -F -b 1024 -g 1024 -O 64bit " + dir.file("v"));
  const std::string bytes = readFile(dir.file("v"));
  constexpr u32 START = 8, SB = START * 512 + ext::SUPERBLOCK_OFFSET, DESC = START * 512 + 2048;
  const u64 sectors = 16384 * 2;
  struct Case {
    u32 offset, value;  // a 32-bit field to set (none when offset is 0)
    const char* message;
    bool addBits = false;  // or `value` into the field instead
    u64 volumeSectors = 16384 * 2;
    VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM;
  };
  const Case cases[] = {
      {SB + ext::SB_MAGIC, 0xEF54, "no ext superblock (magic EF53h missing)"},
      {SB + ext::SB_LOG_BLOCK_SIZE, 7, "block size 2^(10+7) is out of range (1 to 64 KiB)"},
      {SB + ext::SB_FEATURE_INCOMPAT, 0x80000, "unknown incompatible feature 00080000h", true},
      {SB + ext::SB_FEATURE_RO_COMPAT, ext::RO_COMPAT_BIGALLOC, "unsupported feature bigalloc", true},
      {SB + ext::SB_FEATURE_INCOMPAT, ext::INCOMPAT_RECOVER,
       "unsupported feature needs_recovery (the journal must be replayed first)", true},
      {SB + ext::SB_BLOCKS_COUNT_HI, 0x1000, "group count overflows"},
      {SB + ext::SB_INODES_COUNT, 4097, "group count mismatch: 16 groups of 256 inodes, but 4097 inodes"},
      {SB + ext::SB_BLOCKS_PER_GROUP, 0, "0 blocks per group is out of range"},
      {0, 0, "the file system (16384 blocks of 1024 bytes) is larger than the partition (32767 sectors)", false,
       sectors - 1},
      {DESC + 3 * 64 + ext::BG_BLOCK_BITMAP_LO, 20000, "group 3: block bitmap at block 20000 lies outside the volume"},
      {DESC + 15 * 64 + ext::BG_INODE_TABLE_LO, 16380, "group 15: inode table at block 16380 lies outside the volume"},
      {DESC + 5 * 64 + 0x0C, 1234, "group 5: flagged BLOCK_UNINIT, but its descriptor checksum fails"},
      {0, 0, "error reading 2 sectors at sector 0000000Ch", false, sectors, ERR_DISK_ACCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FakeDisk disk = fakeDiskWith(bytes, START, START + u32(sectors) + 8);
    if (c.offset) {
      const u32 old = c.addBits ? readLE32(disk.read(c.offset, 4).data()) : 0;
      putLE(disk, c.offset, c.value | old, c.offset == SB + ext::SB_MAGIC ? 2 : 4);
    }
    if (c.code == ERR_DISK_ACCESS) disk.gate = [](FakeDisk::Op, u32 sector, u32) { return sector != 12; };
    EXPECT_TRUE(throwsVantor([&] { ExtVolumeMapper(disk, START, c.volumeSectors).getSectorMap(); }, c.code,
                             std::string("ext volume at sector 00000008h: ") + c.message));
  }
}

}  // namespace
}  // namespace vantor::test

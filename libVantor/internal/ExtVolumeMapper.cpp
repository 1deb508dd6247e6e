#include <libVantor/internal/ExtVolumeMapper.h>

#include <algorithm>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/BitmapRuns.h>
#include <libVantor/internal/ExtLayout.h>
#include <vrk/Log.h>
#include <vrk/String.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.ExtVolumeMapper");
  return l;
}

using ull = unsigned long long;

constexpr u64 MAX_SECTOR = 0xFFFFFFFFull;
constexpr u64 MAX_REQUEST_BYTES = 1u << 20;     // descriptors and bitmaps are read in requests of up to 1 MiB
// Enough for the superblock's sectors (up to 64 KiB each) and for most reads after it; the
// pages cost nothing until touched.
constexpr std::size_t FIRST_BUFFER_BYTES = 64 * 1024;
constexpr u64 MAX_RUN_SECTORS = 0x80000000ull;  // a map run's count is 32 bits

struct Feature {
  u32 bit;
  const char* name;
};

// The features this mapper knows. Everything else in these two words is refused.
constexpr Feature KNOWN_INCOMPAT[] = {
    {ext::INCOMPAT_FILETYPE, "filetype"},
    {ext::INCOMPAT_META_BG, "meta_bg"},
    {ext::INCOMPAT_EXTENTS, "extent"},
    {ext::INCOMPAT_64BIT, "64bit"},
    {ext::INCOMPAT_MMP, "mmp"},
    {ext::INCOMPAT_FLEX_BG, "flex_bg"},
    {ext::INCOMPAT_EA_INODE, "ea_inode"},
    {ext::INCOMPAT_DIRDATA, "dirdata"},
    {ext::INCOMPAT_CSUM_SEED, "metadata_csum_seed"},
    {ext::INCOMPAT_LARGEDIR, "large_dir"},
    {ext::INCOMPAT_INLINE_DATA, "inline_data"},
    {ext::INCOMPAT_ENCRYPT, "encrypt"},
    {ext::INCOMPAT_CASEFOLD, "casefold"},
};
constexpr Feature KNOWN_RO_COMPAT[] = {
    {ext::RO_COMPAT_SPARSE_SUPER, "sparse_super"},
    {ext::RO_COMPAT_LARGE_FILE, "large_file"},
    {ext::RO_COMPAT_HUGE_FILE, "huge_file"},
    {ext::RO_COMPAT_GDT_CSUM, "uninit_bg"},
    {ext::RO_COMPAT_DIR_NLINK, "dir_nlink"},
    {ext::RO_COMPAT_EXTRA_ISIZE, "extra_isize"},
    {ext::RO_COMPAT_QUOTA, "quota"},
    {ext::RO_COMPAT_METADATA_CSUM, "metadata_csum"},
    {ext::RO_COMPAT_READONLY, "read-only"},
    {ext::RO_COMPAT_PROJECT, "project"},
    {ext::RO_COMPAT_SHARED_BLOCKS, "shared_blocks"},
    {ext::RO_COMPAT_VERITY, "verity"},
    {ext::RO_COMPAT_ORPHAN_PRESENT, "orphan_present"},
};
// Names for the refusal messages of features that are known but not mapped.
constexpr Feature REFUSED_INCOMPAT[] = {
    {ext::INCOMPAT_COMPRESSION, "compression"},
    {ext::INCOMPAT_RECOVER, "needs_recovery (the journal must be replayed first)"},
    {ext::INCOMPAT_JOURNAL_DEV, "journal_dev (an external journal, not a file system)"},
};
constexpr Feature REFUSED_RO_COMPAT[] = {
    {ext::RO_COMPAT_BTREE_DIR, "btree_dir"},
    {ext::RO_COMPAT_HAS_SNAPSHOT, "snapshot"},
    {ext::RO_COMPAT_BIGALLOC, "bigalloc"},
    {ext::RO_COMPAT_REPLICA, "replica"},
};

template <std::size_t N, std::size_t M>
const char* unknownFeature(u32 word, const Feature (&known)[N], const Feature (&refused)[M], u32& bit) {
  for (u32 b = 0; b < 32; ++b) {
    bit = u32(1) << b;
    if (!(word & bit)) continue;
    if (std::any_of(known, known + N, [&](const Feature& f) { return f.bit == bit; })) continue;
    for (const Feature& f : refused) {
      if (f.bit == bit) return f.name;
    }
    return "";
  }
  return nullptr;
}

// The two checksums of group descriptors: CRC-16 (polynomial 8005h) with gdt_csum, the
// low half of CRC-32C (polynomial 1EDC6F41h) with metadata_csum; both bit-reflected, with
// no final inversion, continued from the caller's value.
struct CrcTables {
  u16 crc16[256] = {};
  u32 crc32c[256] = {};
  constexpr CrcTables() {
    for (u32 i = 0; i < 256; ++i) {
      u32 a = i, b = i;
      for (int k = 0; k < 8; ++k) {
        a = (a & 1) ? (a >> 1) ^ 0xA001u : a >> 1;
        b = (b & 1) ? (b >> 1) ^ 0x82F63B78u : b >> 1;
      }
      crc16[i] = static_cast<u16>(a);
      crc32c[i] = b;
    }
  }
};
constexpr CrcTables CRC;

u16 crc16(u16 crc, const u8* p, std::size_t n) {
  while (n--) crc = static_cast<u16>((crc >> 8) ^ CRC.crc16[(crc ^ *p++) & 0xFF]);
  return crc;
}
u32 crc32c(u32 crc, const u8* p, std::size_t n) {
  while (n--) crc = (crc >> 8) ^ CRC.crc32c[(crc ^ *p++) & 0xFF];
  return crc;
}

bool isPowerOf(u64 n, u64 base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

// Sorts `runs` and joins those that overlap or touch.
void mergeRuns(std::vector<std::pair<u64, u64>>& runs) {
  std::sort(runs.begin(), runs.end());
  std::size_t out = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (out > 0 && runs[i].first <= runs[out - 1].second) {
      runs[out - 1].second = std::max(runs[out - 1].second, runs[i].second);
    } else {
      runs[out++] = runs[i];
    }
  }
  runs.resize(out);
}

}  // namespace

bool ExtVolumeMapper::recognises(const u8* head, std::size_t size) {
  if (head == nullptr || size < ext::SUPERBLOCK_OFFSET + ext::SUPERBLOCK_SIZE) return false;
  const u8* sb = head + ext::SUPERBLOCK_OFFSET;
  return readLE16(sb + ext::SB_MAGIC) == ext::MAGIC &&
         readLE32(sb + ext::SB_LOG_BLOCK_SIZE) <= ext::MAX_LOG_BLOCK_SIZE - ext::MIN_LOG_BLOCK_SIZE;
}

void ExtVolumeMapper::refuse(const char* what) const {
  throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM,
                        vrk::SprintfFormat("ext volume at sector %08Xh: %s", volumeStartSector, what));
}

ExtVolumeMapper::ExtVolumeMapper(IDisk& disk_, u32 volumeStartSector_, u64 volumeSectorCount_)
    : disk(&disk_),
      buffer(FIRST_BUFFER_BYTES, DiskBufferPointer::OnFailure::Empty),
      sectorSize(disk_.getSectorSize()),
      volumeStartSector(volumeStartSector_),
      volumeSectorCount(volumeSectorCount_) {
  VRK_TRACE(logger(), "ExtVolumeMapper constructor");
  if (sectorSize < 512 || sectorSize > 65536 || (sectorSize & (sectorSize - 1)) != 0) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE,
                          vrk::SprintfFormat("ext volume at sector %08Xh: sectors of %u bytes are not supported",
                                             volumeStartSector, sectorSize));
  }
  if (volumeSectorCount > MAX_SECTOR + 1) refuse("the partition is larger than 2^32 sectors");
  const u64 volumeBytes = volumeSectorCount * sectorSize;  // below 2^48
  if (volumeBytes < ext::SUPERBLOCK_OFFSET + ext::SUPERBLOCK_SIZE) {
    refuse("the partition is too small for a superblock");
  }

  // The superblock, read in whole sectors: bytes 1024-2047 of the volume.
  const u32 headSectors = (ext::SUPERBLOCK_OFFSET + ext::SUPERBLOCK_SIZE + sectorSize - 1) / sectorSize;
  if (!buffer || !disk->readSectors(volumeStartSector, buffer.get(), headSectors)) {
    throw VantorException(ERR_DISK_ACCESS,
                          vrk::SprintfFormat("ext volume at sector %08Xh: error reading the superblock (%u sectors at "
                                             "sector %08Xh)",
                                             volumeStartSector, headSectors, volumeStartSector));
  }
  const u8* sb = buffer.get() + ext::SUPERBLOCK_OFFSET;
  if (readLE16(sb + ext::SB_MAGIC) != ext::MAGIC) refuse("no ext superblock (magic EF53h missing)");

  const u32 logBlock = readLE32(sb + ext::SB_LOG_BLOCK_SIZE);
  if (logBlock > ext::MAX_LOG_BLOCK_SIZE - ext::MIN_LOG_BLOCK_SIZE) {
    refuse(vrk::SprintfFormat("block size 2^(10+%u) is out of range (1 to 64 KiB)", logBlock).c_str());
  }
  blockBytes = u32(1024) << logBlock;

  compat = readLE32(sb + ext::SB_FEATURE_COMPAT);
  incompat = readLE32(sb + ext::SB_FEATURE_INCOMPAT);
  roCompat = readLE32(sb + ext::SB_FEATURE_RO_COMPAT);
  u32 bit = 0;
  if (const char* name = unknownFeature(incompat, KNOWN_INCOMPAT, REFUSED_INCOMPAT, bit)) {
    refuse(*name ? vrk::SprintfFormat("unsupported feature %s", name).c_str()
                 : vrk::SprintfFormat("unknown incompatible feature %08Xh", bit).c_str());
  }
  if (const char* name = unknownFeature(roCompat, KNOWN_RO_COMPAT, REFUSED_RO_COMPAT, bit)) {
    refuse(*name ? vrk::SprintfFormat("unsupported feature %s", name).c_str()
                 : vrk::SprintfFormat("unknown read-only-compatible feature %08Xh", bit).c_str());
  }

  blockCount = readLE32(sb + ext::SB_BLOCKS_COUNT_LO);
  if (incompat & ext::INCOMPAT_64BIT) blockCount |= u64(readLE32(sb + ext::SB_BLOCKS_COUNT_HI)) << 32;
  firstDataBlock = readLE32(sb + ext::SB_FIRST_DATA_BLOCK);
  blocksPerGroup = readLE32(sb + ext::SB_BLOCKS_PER_GROUP);
  // Block 0 holds the superblock, unless blocks are 1 KiB, when block 1 does.
  if (firstDataBlock != (blockBytes == 1024 ? 1u : 0u)) {
    refuse(vrk::SprintfFormat("first data block %llu does not suit %u-byte blocks", ull(firstDataBlock), blockBytes)
               .c_str());
  }
  if (blocksPerGroup == 0 || blocksPerGroup > u64(8) * blockBytes) {
    refuse(vrk::SprintfFormat("%llu blocks per group is out of range", ull(blocksPerGroup)).c_str());
  }
  if (blockCount <= firstDataBlock + 1) refuse(vrk::SprintfFormat("%llu blocks is too few", ull(blockCount)).c_str());

  // Groups, checked against the inode count, which is an independent record of them.
  const u64 groupBlocks = blockCount - firstDataBlock;  // no wrap: checked just above
  const u64 groups = groupBlocks / blocksPerGroup + (groupBlocks % blocksPerGroup != 0 ? 1 : 0);
  if (groups > 0xFFFFFFFFull) refuse("group count overflows");
  groupCount = static_cast<u32>(groups);
  const u64 inodesPerGroup = readLE32(sb + ext::SB_INODES_PER_GROUP);
  if (inodesPerGroup == 0 || inodesPerGroup > u64(8) * blockBytes) {
    refuse(vrk::SprintfFormat("%llu inodes per group is out of range", ull(inodesPerGroup)).c_str());
  }
  if (groups * inodesPerGroup != readLE32(sb + ext::SB_INODES_COUNT)) {
    refuse(vrk::SprintfFormat("group count mismatch: %u groups of %llu inodes, but %u inodes", groupCount,
                              ull(inodesPerGroup), readLE32(sb + ext::SB_INODES_COUNT))
               .c_str());
  }

  // Where the volume lies: inside the partition, and inside 32-bit sector numbers.
  if (blockCount > volumeBytes / blockBytes) {
    refuse(vrk::SprintfFormat("the file system (%llu blocks of %u bytes) is larger than the partition (%llu sectors)",
                              ull(blockCount), blockBytes, ull(volumeSectorCount))
               .c_str());
  }
  const u64 fsBytes = blockCount * blockBytes;  // no wrap: at most volumeBytes
  if (u64(volumeStartSector) + (fsBytes + sectorSize - 1) / sectorSize - 1 > MAX_SECTOR) {
    refuse("the file system reaches past sector FFFFFFFFh");
  }

  // Descriptors.
  if (incompat & ext::INCOMPAT_64BIT) {
    descSize = readLE16(sb + ext::SB_DESC_SIZE);
    if (descSize < ext::MIN_DESC_SIZE_64BIT || descSize > ext::MAX_DESC_SIZE || (descSize & (descSize - 1)) != 0) {
      refuse(vrk::SprintfFormat("group descriptor size %u is out of range", descSize).c_str());
    }
  } else {
    descSize = ext::DESC_SIZE;
  }
  descsPerBlock = blockBytes / descSize;
  descBlocks = (groups + descsPerBlock - 1) / descsPerBlock;

  const u32 revision = readLE32(sb + ext::SB_REV_LEVEL);
  const u64 inodeSize = revision == ext::GOOD_OLD_REV ? ext::GOOD_OLD_INODE_SIZE : readLE16(sb + ext::SB_INODE_SIZE);
  if (inodeSize < ext::GOOD_OLD_INODE_SIZE || inodeSize > blockBytes || (inodeSize & (inodeSize - 1)) != 0) {
    refuse(vrk::SprintfFormat("inode size %llu is out of range", ull(inodeSize)).c_str());
  }
  inodeTableBlocks = (inodesPerGroup * inodeSize + blockBytes - 1) / blockBytes;

  reservedGdtBlocks = readLE16(sb + ext::SB_RESERVED_GDT_BLOCKS);
  if (incompat & ext::INCOMPAT_META_BG) {
    firstMetaBg = readLE32(sb + ext::SB_FIRST_META_BG);
    if (firstMetaBg > descBlocks) {
      refuse(vrk::SprintfFormat("first meta group %llu lies past the %llu descriptor blocks", ull(firstMetaBg),
                                ull(descBlocks))
                 .c_str());
    }
  }
  std::copy(sb + ext::SB_UUID, sb + ext::SB_UUID + sizeof uuid, uuid);
  checksumSeed = (incompat & ext::INCOMPAT_CSUM_SEED) ? readLE32(sb + ext::SB_CHECKSUM_SEED)
                                                      : crc32c(0xFFFFFFFF, uuid, sizeof uuid);
  if (compat & ext::COMPAT_SPARSE_SUPER2) {
    backupGroups[0] = readLE32(sb + ext::SB_BACKUP_BGS);
    backupGroups[1] = readLE32(sb + ext::SB_BACKUP_BGS + 4);
  }
  // Group 0's superblock, descriptors and reserved descriptor blocks must lie inside the
  // volume; every other descriptor block is checked where it is found.
  const u64 oldDescBlocks = (incompat & ext::INCOMPAT_META_BG) ? firstMetaBg : descBlocks;
  if (firstDataBlock + 1 + oldDescBlocks + reservedGdtBlocks > blockCount) {
    refuse("the group descriptors lie outside the volume");
  }
}

const char* ExtVolumeMapper::getVariantName() const {
  const u32 ext3Incompat = ext::INCOMPAT_FILETYPE | ext::INCOMPAT_META_BG;
  const u32 ext3RoCompat = ext::RO_COMPAT_SPARSE_SUPER | ext::RO_COMPAT_LARGE_FILE;
  if ((incompat & ~ext3Incompat) != 0 || (roCompat & ~ext3RoCompat) != 0) return "ext4";
  return (compat & ext::COMPAT_HAS_JOURNAL) ? "ext3" : "ext2";
}

bool ExtVolumeMapper::groupHasSuper(u64 group) const {
  if (group == 0) return true;
  if (compat & ext::COMPAT_SPARSE_SUPER2) return group == backupGroups[0] || group == backupGroups[1];
  if (group == 1 || !(roCompat & ext::RO_COMPAT_SPARSE_SUPER)) return true;
  return isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

// The checksum the descriptor of `group` should carry: over the group number and the
// descriptor without its checksum field, seeded by the uuid.
u16 ExtVolumeMapper::descriptorChecksum(u32 group, const u8* d) const {
  u8 number[4];
  writeLE32(number, group);
  const u8 none[2] = {0, 0};
  if (roCompat & ext::RO_COMPAT_METADATA_CSUM) {
    u32 crc = crc32c(checksumSeed, number, sizeof number);
    crc = crc32c(crc, d, ext::BG_CHECKSUM);
    crc = crc32c(crc, none, sizeof none);
    crc = crc32c(crc, d + ext::BG_CHECKSUM + 2, descSize - ext::BG_CHECKSUM - 2);
    return static_cast<u16>(crc);
  }
  u16 crc = crc16(0xFFFF, uuid, sizeof uuid);
  crc = crc16(crc, number, sizeof number);
  crc = crc16(crc, d, ext::BG_CHECKSUM);
  return crc16(crc, d + ext::BG_CHECKSUM + 2, descSize - ext::BG_CHECKSUM - 2);
}

u64 ExtVolumeMapper::groupLength(u64 group) const {
  return std::min(blocksPerGroup, blockCount - groupFirstBlock(group));
}

// Where the descriptors of meta group `metaGroup` (descsPerBlock groups) lie: in the
// table after group 0's superblock, or, with meta_bg from s_first_meta_bg on, in the
// first group of the meta group, after its superblock backup if it has one.
u64 ExtVolumeMapper::descriptorBlock(u64 metaGroup) const {
  if (!(incompat & ext::INCOMPAT_META_BG) || metaGroup < firstMetaBg) return firstDataBlock + 1 + metaGroup;
  const u64 group = metaGroup * descsPerBlock;
  return groupFirstBlock(group) + (groupHasSuper(group) ? 1 : 0);
}

// Reads `count` blocks from `firstBlock` (all inside the volume) in one request, in the
// whole sectors that cover them, and answers where the first block begins in `buffer`.
const u8* ExtVolumeMapper::readBlocks(u64 firstBlock, u64 count) const {
  const u64 byteOffset = firstBlock * blockBytes;
  const u64 firstSector = byteOffset / sectorSize;
  const u64 endSector = (byteOffset + count * blockBytes + sectorSize - 1) / sectorSize;
  const u64 bytes = (endSector - firstSector) * sectorSize;
  if (buffer.size() < bytes) {
    buffer = DiskBufferPointer(bytes, DiskBufferPointer::OnFailure::Empty);
  }
  const u32 lba = static_cast<u32>(volumeStartSector + firstSector);  // inside 32 bits: checked when made
  const u32 sectors = static_cast<u32>(endSector - firstSector);
  if (!buffer || !disk->readSectors(lba, buffer.get(), sectors)) {
    throw VantorException(ERR_DISK_ACCESS,
                          vrk::SprintfFormat("ext volume at sector %08Xh: error reading %u sectors at sector %08Xh",
                                             volumeStartSector, sectors, lba));
  }
  return buffer.get() + (byteOffset - firstSector * sectorSize);
}

// What the layout puts in group `group` apart from its tables: the superblock backup
// and, beside it, the descriptor blocks and the blocks reserved for the table to grow.
void ExtVolumeMapper::addLayoutOfGroup(u32 group, std::vector<BlockRun>& runs) const {
  const u64 first = groupFirstBlock(group);
  const bool hasSuper = groupHasSuper(group);
  u64 count = 0;
  if (!(incompat & ext::INCOMPAT_META_BG) || group / descsPerBlock < firstMetaBg) {
    if (hasSuper) count = 1 + ((incompat & ext::INCOMPAT_META_BG) ? firstMetaBg : descBlocks) + reservedGdtBlocks;
  } else {
    const u64 within = group % descsPerBlock;
    count = hasSuper ? 1 : 0;
    if (within == 0 || within == 1 || within == descsPerBlock - 1) ++count;
  }
  if (count == 0) return;
  if (count > groupLength(group)) {
    refuse(vrk::SprintfFormat("group %u: its superblock backup and descriptor blocks reach past the group", group)
               .c_str());
  }
  runs.push_back({first, count});
}

// The bitmaps and inode table of `group` (wherever they lie, they are in use), and its
// block bitmap to read unless the group has none.
void ExtVolumeMapper::addGroupTables(u32 group, const u8* d, std::vector<BlockRun>& runs,
                                     std::vector<PendingBitmap>& bitmaps) const {
  const bool wide = descSize >= ext::MIN_DESC_SIZE_64BIT;
  const auto location = [&](u32 lo, u32 hi) {
    return u64(readLE32(d + lo)) | (wide ? u64(readLE32(d + hi)) << 32 : 0);
  };
  const u64 blockBitmap = location(ext::BG_BLOCK_BITMAP_LO, ext::BG_BLOCK_BITMAP_HI);
  const u64 inodeBitmap = location(ext::BG_INODE_BITMAP_LO, ext::BG_INODE_BITMAP_HI);
  const u64 inodeTable = location(ext::BG_INODE_TABLE_LO, ext::BG_INODE_TABLE_HI);
  const struct {
    const char* name;
    u64 block, count;
  } tables[] = {{"block bitmap", blockBitmap, 1},
                {"inode bitmap", inodeBitmap, 1},
                {"inode table", inodeTable, inodeTableBlocks}};
  for (const auto& t : tables) {
    // Never on the superblock or before it, never past the end (counts are below 2^32).
    if (t.block <= firstDataBlock || t.block >= blockCount || t.count > blockCount - t.block) {
      refuse(vrk::SprintfFormat("group %u: %s at block %llu lies outside the volume", group, t.name, ull(t.block))
                 .c_str());
    }
    runs.push_back({t.block, t.count});
  }
  const bool flagsValid = roCompat & (ext::RO_COMPAT_GDT_CSUM | ext::RO_COMPAT_METADATA_CSUM);
  if (flagsValid && (readLE16(d + ext::BG_FLAGS) & ext::BG_BLOCK_UNINIT)) {
    if (readLE16(d + ext::BG_CHECKSUM) != descriptorChecksum(group, d)) {
      refuse(vrk::SprintfFormat("group %u: flagged BLOCK_UNINIT, but its descriptor checksum fails", group).c_str());
    }
    addLayoutOfGroup(group, runs);
  } else {
    bitmaps.push_back({blockBitmap, group});
  }
}

// Appends a run, joined to the last one when it continues it (runs from bitmaps arrive in
// ascending order), so that a volume full of files does not cost a run per group.
void ExtVolumeMapper::addRun(std::vector<BlockRun>& runs, u64 first, u64 count) {
  if (!runs.empty() && runs.back().first + runs.back().count == first) {
    runs.back().count += count;
  } else {
    runs.push_back({first, count});
  }
}

// Reads the pending bitmaps, adjacent ones together, and adds the runs of set bits.
void ExtVolumeMapper::scanBitmaps(std::vector<PendingBitmap>& bitmaps, std::vector<BlockRun>& runs) const {
  std::sort(bitmaps.begin(), bitmaps.end(),
            [](const PendingBitmap& a, const PendingBitmap& b) { return a.block < b.block; });
  const u64 maxBlocks = std::max<u64>(1, MAX_REQUEST_BYTES / blockBytes);
  for (std::size_t i = 0; i < bitmaps.size();) {
    const u64 first = bitmaps[i].block;
    std::size_t j = i + 1;
    while (j < bitmaps.size() && bitmaps[j].block - first < maxBlocks && bitmaps[j].block <= bitmaps[j - 1].block + 1)
      ++j;
    const u8* data = readBlocks(first, bitmaps[j - 1].block - first + 1);
    for (; i < j; ++i) {
      const u8* bitmap = data + (bitmaps[i].block - first) * blockBytes;
      const u64 base = groupFirstBlock(bitmaps[i].group);
      const u64 length = groupLength(bitmaps[i].group);  // bits that stand for blocks; <= 8 * blockBytes
      auto emit = [&](u64 first, u64 end) { addRun(runs, base + first, end - first); };
      BitmapRuns<decltype(emit)> bits(length, emit);
      bits.feed(bitmap, (length + 7) / 8);
      bits.finish();
    }
  }
}

SectorMap ExtVolumeMapper::getSectorMap(u64* usedBlocks) const {
  VRK_TRACE(logger(), "getSectorMap");
  std::vector<BlockRun> runs;
  // The boot area and the superblock: bytes 0-2047.
  runs.push_back({0, (ext::SUPERBLOCK_OFFSET + ext::SUPERBLOCK_SIZE + blockBytes - 1) / blockBytes});

  // The descriptor table, a meta group's block at a time but read in runs of adjacent blocks.
  const u64 maxBlocks = std::max<u64>(1, MAX_REQUEST_BYTES / blockBytes);
  std::vector<PendingBitmap> bitmaps;
  for (u64 meta = 0; meta < descBlocks;) {
    const u64 first = descriptorBlock(meta);
    u64 count = 1;
    while (meta + count < descBlocks && count < maxBlocks && descriptorBlock(meta + count) == first + count) ++count;
    if (first <= firstDataBlock || first >= blockCount || count > blockCount - first) {
      refuse(vrk::SprintfFormat("descriptor block %llu lies outside the volume", ull(first)).c_str());
    }
    const u8* data = readBlocks(first, count);
    runs.push_back({first, count});
    const u64 firstGroup = meta * descsPerBlock;
    const u64 endGroup = std::min<u64>(groupCount, (meta + count) * descsPerBlock);
    for (u64 g = firstGroup; g < endGroup; ++g) {
      addGroupTables(static_cast<u32>(g), data + (g - firstGroup) * descSize, runs, bitmaps);
    }
    meta += count;
    // Bitmaps are read as a batch per descriptor read; flex_bg keeps a batch's together.
    scanBitmaps(bitmaps, runs);
    bitmaps.clear();
  }

  // Blocks into byte ranges of the volume, merged, then into drive sectors: the start
  // rounded down, the end up. Every block is below blockCount, so bytes fit in 64 bits.
  std::vector<std::pair<u64, u64>> merged;
  merged.reserve(runs.size());
  for (const BlockRun& r : runs) merged.emplace_back(r.first, r.first + r.count);
  mergeRuns(merged);
  u64 used = 0;
  std::vector<std::pair<u64, u64>> sectors;
  sectors.reserve(merged.size());
  for (const auto& r : merged) {
    used += r.second - r.first;
    sectors.emplace_back(r.first * blockBytes / sectorSize, (r.second * blockBytes + sectorSize - 1) / sectorSize);
  }
  mergeRuns(sectors);  // blocks smaller than a sector can share one
  SectorMap map;
  for (const auto& s : sectors) {
    for (u64 at = s.first; at < s.second;) {
      const u64 n = std::min(s.second - at, MAX_RUN_SECTORS);
      addSectorRange(map, makeSectorRange(static_cast<u32>(volumeStartSector + at), static_cast<u32>(n)));
      at += n;
    }
  }
  if (usedBlocks) *usedBlocks = used;
  return map;
}

}  // namespace vantor

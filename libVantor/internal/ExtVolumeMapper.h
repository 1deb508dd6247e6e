// libVantor/internal/ExtVolumeMapper.h
// The sectors one ext2, ext3 or ext4 volume uses, as drive LBAs: the boot area and the
// superblock, and every block its group descriptors and block bitmaps say is in use (the
// journal, resize inode, directories and files are all such blocks). Reads and checks the
// superblock when made; reads the descriptors and bitmaps on each getSectorMap(). Anything
// it does not understand or that does not add up is refused with
// ERR_UNSUPPORTED_FILE_SYSTEM, a failed read with ERR_DISK_ACCESS; both name the volume's
// first sector. The disk is not owned and must outlive the mapper. One thread at a time.
//
// Choices made here:
// - Incompatible and read-only-compatible features are checked bit by bit against those
//   this mapper knows; any other (bigalloc, compression, snapshots, an external journal
//   device, a bit with no name) is refused. So is a volume whose journal needs recovery
//   (INCOMPAT_RECOVER): its bitmaps may not yet show blocks the journal allocated.
//   Compatible features change nothing a reader must know, sparse_super2 aside.
// - A group flagged BLOCK_UNINIT (honoured, as the kernel does, only with gdt_csum or
//   metadata_csum, and only when the descriptor's checksum holds: a flagged descriptor
//   whose checksum fails is refused) is mapped from the layout instead of its bitmap:
//   superblock backup, descriptor and reserved GDT blocks, and every group's bitmaps and
//   inode table that lie in it. The bitmaps and inode table of every group are always
//   mapped, wherever they lie.
// - A 1 KiB-block volume's block 0 (boot area) counts as a used block.
// - Blocks map to drive sectors with the start rounded down and the end up; sectors of 512
//   bytes to 64 KiB (a power of two) are accepted, others refused with
//   ERR_UNSUPPORTED_SECTOR_SIZE. The mapper keeps one read buffer (from 64 KiB up to the
//   largest request, 1 MiB and a sector) for its life, so it moves but does not copy.
#pragma once
#include <cstddef>
#include <vector>

#include <libVantor/IDisk.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

class ExtVolumeMapper {
 public:
  // True when `head`, the first `size` bytes of a volume, hold an ext2/3/4 superblock: the
  // magic 0xEF53 and a block size of 1 to 64 KiB. False when `size` is below 2048.
  static bool recognises(const u8* head, std::size_t size);

  // Reads and checks the superblock of the volume at drive LBA `volumeStartSector` that
  // spans `volumeSectorCount` drive sectors; the file system must fit in them.
  ExtVolumeMapper(IDisk& disk, u32 volumeStartSector, u64 volumeSectorCount);

  // A new map of the used sectors, as drive LBAs, none outside the volume. `usedBlocks`,
  // when given, receives the number of blocks mapped as used (left alone on a throw).
  SectorMap getSectorMap(u64* usedBlocks = nullptr) const;

  u32 getBlockBytes() const { return blockBytes; }
  u64 getBlockCount() const { return blockCount; }
  // "ext2", "ext3" (a journal) or "ext4" (any feature ext3 did not have).
  const char* getVariantName() const;

 private:
  struct BlockRun {
    u64 first;
    u64 count;
  };
  struct PendingBitmap {
    u64 block;  // where the bitmap lies
    u32 group;
  };

  [[noreturn]] void refuse(const char* what) const;
  static void addRun(std::vector<BlockRun>& runs, u64 first, u64 count);
  bool groupHasSuper(u64 group) const;
  u16 descriptorChecksum(u32 group, const u8* descriptor) const;
  u64 groupFirstBlock(u64 group) const { return firstDataBlock + group * blocksPerGroup; }
  u64 groupLength(u64 group) const;
  u64 descriptorBlock(u64 metaGroup) const;
  const u8* readBlocks(u64 firstBlock, u64 count) const;
  void addLayoutOfGroup(u32 group, std::vector<BlockRun>& runs) const;
  void addGroupTables(u32 group, const u8* descriptor, std::vector<BlockRun>& runs,
                      std::vector<PendingBitmap>& bitmaps) const;
  void scanBitmaps(std::vector<PendingBitmap>& bitmaps, std::vector<BlockRun>& runs) const;

  IDisk* disk;
  // Every read lands here: the superblock, then descriptors and bitmaps in turn. Grown as
  // a request needs, kept between maps.
  mutable DiskBufferPointer buffer;
  u32 sectorSize = 512;
  u32 volumeStartSector = 0;
  u64 volumeSectorCount = 0;
  u32 blockBytes = 0;
  u64 blockCount = 0;
  u64 firstDataBlock = 0;
  u64 blocksPerGroup = 0;
  u32 groupCount = 0;
  u32 descSize = 0;
  u32 descsPerBlock = 0;
  u64 descBlocks = 0;        // blocks the whole descriptor table takes
  u64 inodeTableBlocks = 0;  // per group
  u64 reservedGdtBlocks = 0;
  u64 firstMetaBg = 0;
  u32 backupGroups[2] = {};  // with sparse_super2
  u8 uuid[16] = {};
  u32 checksumSeed = 0;  // with metadata_csum
  u32 compat = 0;
  u32 incompat = 0;
  u32 roCompat = 0;
};

}  // namespace vantor

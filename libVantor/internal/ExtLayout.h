// libVantor/internal/ExtLayout.h
// Offsets and values of the ext2/ext3/ext4 on-disk structures that ExtVolumeMapper reads:
// the superblock and the block group descriptor. docs/ext_layout.md describes them in prose.
// All multi-byte fields are little-endian.
#pragma once
#include <libVantor/Types.h>

namespace vantor::ext {

constexpr u32 SUPERBLOCK_OFFSET = 1024;  // bytes from the volume's start; the boot area lies before
constexpr u32 SUPERBLOCK_SIZE = 1024;
constexpr u16 MAGIC = 0xEF53;
constexpr u32 MIN_LOG_BLOCK_SIZE = 10;   // 1 KiB
constexpr u32 MAX_LOG_BLOCK_SIZE = 16;   // 64 KiB

// Superblock fields, as offsets inside the superblock.
constexpr u32 SB_INODES_COUNT = 0x00;
constexpr u32 SB_BLOCKS_COUNT_LO = 0x04;
constexpr u32 SB_FIRST_DATA_BLOCK = 0x14;
constexpr u32 SB_LOG_BLOCK_SIZE = 0x18;  // block size = 1024 << value
constexpr u32 SB_BLOCKS_PER_GROUP = 0x20;
constexpr u32 SB_INODES_PER_GROUP = 0x28;
constexpr u32 SB_MAGIC = 0x38;
constexpr u32 SB_REV_LEVEL = 0x4C;
constexpr u32 SB_INODE_SIZE = 0x58;      // revision 1 and later; 128 before
constexpr u32 SB_FEATURE_COMPAT = 0x5C;
constexpr u32 SB_FEATURE_INCOMPAT = 0x60;
constexpr u32 SB_FEATURE_RO_COMPAT = 0x64;
constexpr u32 SB_UUID = 0x68;            // 16 bytes; seeds the descriptor checksums
constexpr u32 SB_RESERVED_GDT_BLOCKS = 0xCE;
constexpr u32 SB_DESC_SIZE = 0xFE;       // with INCOMPAT_64BIT
constexpr u32 SB_FIRST_META_BG = 0x104;  // with INCOMPAT_META_BG
constexpr u32 SB_BLOCKS_COUNT_HI = 0x150;  // with INCOMPAT_64BIT
constexpr u32 SB_BACKUP_BGS = 0x24C;     // two u32 group numbers, with COMPAT_SPARSE_SUPER2
constexpr u32 SB_CHECKSUM_SEED = 0x270;  // with INCOMPAT_CSUM_SEED: crc32c of the uuid, kept

constexpr u32 GOOD_OLD_REV = 0;
constexpr u32 GOOD_OLD_INODE_SIZE = 128;

// Compatible features: a reader may ignore them. Only this one moves metadata.
constexpr u32 COMPAT_HAS_JOURNAL = 0x0004;
constexpr u32 COMPAT_SPARSE_SUPER2 = 0x0200;

// Incompatible features: a reader that does not know one must not read the volume.
constexpr u32 INCOMPAT_COMPRESSION = 0x00001;
constexpr u32 INCOMPAT_FILETYPE = 0x00002;
constexpr u32 INCOMPAT_RECOVER = 0x00004;
constexpr u32 INCOMPAT_JOURNAL_DEV = 0x00008;
constexpr u32 INCOMPAT_META_BG = 0x00010;
constexpr u32 INCOMPAT_EXTENTS = 0x00040;
constexpr u32 INCOMPAT_64BIT = 0x00080;
constexpr u32 INCOMPAT_MMP = 0x00100;
constexpr u32 INCOMPAT_FLEX_BG = 0x00200;
constexpr u32 INCOMPAT_EA_INODE = 0x00400;
constexpr u32 INCOMPAT_DIRDATA = 0x01000;
constexpr u32 INCOMPAT_CSUM_SEED = 0x02000;
constexpr u32 INCOMPAT_LARGEDIR = 0x04000;
constexpr u32 INCOMPAT_INLINE_DATA = 0x08000;
constexpr u32 INCOMPAT_ENCRYPT = 0x10000;
constexpr u32 INCOMPAT_CASEFOLD = 0x20000;

// Read-only compatible features: a reader that does not know one may read but not write;
// here, one that changes what a bitmap bit means is not read either.
constexpr u32 RO_COMPAT_SPARSE_SUPER = 0x00001;
constexpr u32 RO_COMPAT_LARGE_FILE = 0x00002;
constexpr u32 RO_COMPAT_BTREE_DIR = 0x00004;
constexpr u32 RO_COMPAT_HUGE_FILE = 0x00008;
constexpr u32 RO_COMPAT_GDT_CSUM = 0x00010;
constexpr u32 RO_COMPAT_DIR_NLINK = 0x00020;
constexpr u32 RO_COMPAT_EXTRA_ISIZE = 0x00040;
constexpr u32 RO_COMPAT_HAS_SNAPSHOT = 0x00080;
constexpr u32 RO_COMPAT_QUOTA = 0x00100;
constexpr u32 RO_COMPAT_BIGALLOC = 0x00200;
constexpr u32 RO_COMPAT_METADATA_CSUM = 0x00400;
constexpr u32 RO_COMPAT_REPLICA = 0x00800;
constexpr u32 RO_COMPAT_READONLY = 0x01000;
constexpr u32 RO_COMPAT_PROJECT = 0x02000;
constexpr u32 RO_COMPAT_SHARED_BLOCKS = 0x04000;
constexpr u32 RO_COMPAT_VERITY = 0x08000;
constexpr u32 RO_COMPAT_ORPHAN_PRESENT = 0x10000;

// Block group descriptor: 32 bytes, or s_desc_size (64 or more) with INCOMPAT_64BIT, when
// the high halves of the locations follow at offset 0x20.
constexpr u32 DESC_SIZE = 32;
constexpr u32 MIN_DESC_SIZE_64BIT = 64;
constexpr u32 MAX_DESC_SIZE = 1024;
constexpr u32 BG_BLOCK_BITMAP_LO = 0x00;
constexpr u32 BG_INODE_BITMAP_LO = 0x04;
constexpr u32 BG_INODE_TABLE_LO = 0x08;
constexpr u32 BG_FLAGS = 0x12;
constexpr u32 BG_CHECKSUM = 0x1E;        // u16, over the descriptor with this field left out
constexpr u32 BG_BLOCK_BITMAP_HI = 0x20;
constexpr u32 BG_INODE_BITMAP_HI = 0x24;
constexpr u32 BG_INODE_TABLE_HI = 0x28;

// bg_flags; honoured only with RO_COMPAT_GDT_CSUM or RO_COMPAT_METADATA_CSUM.
constexpr u16 BG_BLOCK_UNINIT = 0x0002;  // the block bitmap was never written

}  // namespace vantor::ext

// libVantor/internal/ExfatLayout.h
// Offsets and values of the exFAT structures the volume mapper reads: the main boot
// sector, the FAT and the root directory's entries. docs/exfat_layout.md describes
// them in prose. Offsets are in bytes from the start of their structure; multi-byte
// fields are little-endian.
#pragma once
#include <libVantor/Types.h>

namespace vantor::exfat {

// Main boot sector (volume sector 0; its backup is volume sector 12).
constexpr u32 BOOT_JUMP = 0;                 // 3 bytes
constexpr u32 BOOT_FILE_SYSTEM_NAME = 3;     // 8 bytes, "EXFAT   "
constexpr u32 BOOT_MUST_BE_ZERO = 11;        // 53 bytes, all zero
constexpr u32 BOOT_MUST_BE_ZERO_LENGTH = 53;
constexpr u32 BOOT_PARTITION_OFFSET = 64;    // u64, informational only
constexpr u32 BOOT_VOLUME_LENGTH = 72;       // u64, volume sectors
constexpr u32 BOOT_FAT_OFFSET = 80;          // u32, volume sectors
constexpr u32 BOOT_FAT_LENGTH = 84;          // u32, volume sectors per FAT
constexpr u32 BOOT_CLUSTER_HEAP_OFFSET = 88; // u32, volume sectors
constexpr u32 BOOT_CLUSTER_COUNT = 92;       // u32
constexpr u32 BOOT_ROOT_CLUSTER = 96;        // u32
constexpr u32 BOOT_VOLUME_FLAGS = 106;       // u16
constexpr u32 BOOT_BYTES_PER_SECTOR_SHIFT = 108;
constexpr u32 BOOT_SECTORS_PER_CLUSTER_SHIFT = 109;
constexpr u32 BOOT_NUMBER_OF_FATS = 110;
constexpr u32 BOOT_SIGNATURE = 510;          // u16, 0xAA55
constexpr u16 BOOT_SIGNATURE_VALUE = 0xAA55;
constexpr char FILE_SYSTEM_NAME[] = "EXFAT   ";

constexpr u16 VOLUME_FLAG_ACTIVE_FAT = 0x0001;  // 0: first FAT and bitmap, 1: second

constexpr u32 MIN_BYTES_PER_SECTOR_SHIFT = 9;   // 512 bytes
constexpr u32 MAX_BYTES_PER_SECTOR_SHIFT = 12;  // 4096 bytes
constexpr u32 MAX_CLUSTER_SHIFT = 25;           // bytes per cluster at most 32 MiB
constexpr u32 MAX_CLUSTER_COUNT = 0xFFFFFFF5;   // 2^32 - 11

// The main and the backup boot region, 12 volume sectors each, at the volume's start.
constexpr u32 BOOT_REGION_SECTORS = 12;
constexpr u32 BOOT_REGIONS_SECTORS = 2 * BOOT_REGION_SECTORS;

// FAT entries: 32 bits each, indexed by cluster number; clusters start at 2.
constexpr u32 FAT_ENTRY_BYTES = 4;
constexpr u32 FIRST_CLUSTER = 2;
constexpr u32 FAT_END_OF_CHAIN = 0xFFFFFFFF;

// Directory entries: 32 bytes; the first byte is the entry type.
constexpr u32 DIR_ENTRY_BYTES = 32;
constexpr u32 DIR_ENTRY_TYPE = 0;
constexpr u32 DIR_ENTRY_FLAGS = 1;          // allocation bitmap: bit 0 names its FAT
constexpr u32 DIR_ENTRY_FIRST_CLUSTER = 20; // u32
constexpr u32 DIR_ENTRY_DATA_LENGTH = 24;   // u64, bytes
constexpr u64 MAX_DIRECTORY_BYTES = u64(1) << 28;  // 256 MiB
constexpr u8 ENTRY_END_OF_DIRECTORY = 0x00;
constexpr u8 ENTRY_ALLOCATION_BITMAP = 0x81;
constexpr u8 ENTRY_UPCASE_TABLE = 0x82;

}  // namespace vantor::exfat

// libVantor/internal/NtfsLayout.h
// Where the fields NtfsVolumeMapper reads lie in an NTFS boot sector, MFT record,
// attribute header and data-run list, and the limits it holds them to. The structures
// are described in prose in docs/ntfs_layout.md.
#pragma once
#include <libVantor/Types.h>

namespace vantor::ntfs {

// Boot sector (the first sector of the volume).
constexpr u32 BOOT_OEM_ID = 3;                // 8 bytes, "NTFS    "
constexpr u32 BOOT_BYTES_PER_SECTOR = 11;     // u16
constexpr u32 BOOT_SECTORS_PER_CLUSTER = 13;  // u8; above 0x80, the negated power of two
constexpr u32 BOOT_TOTAL_SECTORS = 40;        // u64: sectors before the backup boot sector
constexpr u32 BOOT_MFT_LCN = 48;              // u64
constexpr u32 BOOT_CLUSTERS_PER_MFT_RECORD = 64;  // i8; negative: 2^-n bytes
constexpr u32 BOOT_SIGNATURE = 510;           // 0x55, 0xAA
constexpr char OEM_ID[] = "NTFS    ";
constexpr u32 OEM_ID_LENGTH = 8;

constexpr u32 MIN_SECTOR_BYTES = 512;
constexpr u32 MAX_SECTOR_BYTES = 4096;
constexpr u32 MAX_CLUSTER_BYTES = 2u << 20;   // 2 MiB, the largest cluster NTFS knows
constexpr u32 MIN_RECORD_BYTES = 512;
constexpr u32 MAX_RECORD_BYTES = 65536;
constexpr u32 BOOT_AREA_BYTES = 8192;         // the $Boot file: boot sector and loader

// MFT record ("file record") header.
constexpr u32 RECORD_SIGNATURE = 0;           // 4 bytes, "FILE"
constexpr u32 RECORD_USA_OFFSET = 4;          // u16
constexpr u32 RECORD_USA_COUNT = 6;           // u16: one USN plus one entry per 512-byte block
constexpr u32 RECORD_ATTRIBUTES_OFFSET = 20;  // u16
constexpr u32 RECORD_FLAGS = 22;              // u16
constexpr u32 RECORD_BYTES_IN_USE = 24;       // u32
constexpr u32 RECORD_BYTES_ALLOCATED = 28;    // u32
constexpr u32 RECORD_BASE_RECORD = 32;        // u64: 0 in a base record
constexpr u32 RECORD_NUMBER = 44;             // u32, present when the USA starts at 48 or later
constexpr u32 RECORD_HEADER_V30 = 42;         // the header before the USA, NTFS 3.0
constexpr u32 RECORD_HEADER_V31 = 48;         // the same, NTFS 3.1 (with the record number)
constexpr u16 RECORD_IN_USE = 0x0001;
constexpr u32 FIXUP_STRIDE = 512;             // the USA guards each 512-byte block, whatever the sector size
constexpr u32 BITMAP_RECORD = 6;              // $Bitmap's MFT record
constexpr u32 RESERVED_RECORDS = 16;          // records 0-15 lie together in the MFT's first extent

// Attribute header, common part.
constexpr u32 ATTR_TYPE = 0;                  // u32
constexpr u32 ATTR_LENGTH = 4;                // u32, a multiple of 8
constexpr u32 ATTR_NON_RESIDENT = 8;          // u8
constexpr u32 ATTR_NAME_LENGTH = 9;           // u8, in UTF-16 units
constexpr u32 ATTR_FLAGS = 12;                // u16
constexpr u32 ATTR_RESIDENT_HEADER = 24;
constexpr u32 ATTR_VALUE_LENGTH = 16;         // u32, resident
constexpr u32 ATTR_VALUE_OFFSET = 20;         // u16, resident
constexpr u32 ATTR_LOWEST_VCN = 16;           // u64, non-resident
constexpr u32 ATTR_HIGHEST_VCN = 24;          // u64, non-resident
constexpr u32 ATTR_RUNS_OFFSET = 32;          // u16, non-resident
constexpr u32 ATTR_ALLOCATED_SIZE = 40;       // u64, non-resident
constexpr u32 ATTR_DATA_SIZE = 48;            // u64, non-resident
constexpr u32 ATTR_INITIALIZED_SIZE = 56;     // u64, non-resident
constexpr u32 ATTR_NON_RESIDENT_HEADER = 64;
constexpr u16 ATTR_FLAG_COMPRESSED = 0x00FF;  // any compression method
constexpr u16 ATTR_FLAG_ENCRYPTED = 0x4000;

constexpr u32 TYPE_ATTRIBUTE_LIST = 0x20;
constexpr u32 TYPE_DATA = 0x80;
constexpr u32 TYPE_END = 0xFFFFFFFF;

}  // namespace vantor::ntfs

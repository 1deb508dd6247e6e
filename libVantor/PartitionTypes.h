// libVantor/PartitionTypes.h
// The MBR partition type numbers the library acts on and the host names, in one place,
// with the two questions the library asks of a type. Plain constants; no state.
#pragma once
#include <libVantor/Types.h>

namespace vantor::partition_type {

constexpr u8 EMPTY = 0x00;
constexpr u8 FAT12 = 0x01;
constexpr u8 FAT16_SMALL = 0x04;   // FAT16 under 32 MiB
constexpr u8 EXTENDED = 0x05;      // extended partition, CHS addressed
constexpr u8 FAT16 = 0x06;         // the "legacy" partition of a backup table
constexpr u8 NTFS_EXFAT = 0x07;
constexpr u8 FAT32 = 0x0B;         // CHS addressed
constexpr u8 FAT32_LBA = 0x0C;     // the "primary" partition of a backup table
constexpr u8 FAT16_LBA = 0x0E;
constexpr u8 EXTENDED_LBA = 0x0F;
constexpr u8 BOOT_LOADER_AREA = 0x7E;  // the boot key's loader and payload
constexpr u8 LINUX_SWAP = 0x82;
constexpr u8 LINUX = 0x83;
constexpr u8 EXTENDED_LINUX = 0x85;
constexpr u8 GPT_PROTECTIVE = 0xEE;
constexpr u8 EFI_SYSTEM = 0xEF;

// A FAT16 or FAT32 volume the used-sector map can read.
inline bool isMappableFat(u8 type) {
  return type == FAT16_SMALL || type == FAT16 || type == FAT32 || type == FAT32_LBA || type == FAT16_LBA;
}
// A FAT32 volume (of those the used-sector map reads).
inline bool isFat32(u8 type) { return type == FAT32 || type == FAT32_LBA; }
// An entry that starts a chain of logical partitions.
inline bool isExtended(u8 type) { return type == EXTENDED || type == EXTENDED_LBA || type == EXTENDED_LINUX; }

}  // namespace vantor::partition_type

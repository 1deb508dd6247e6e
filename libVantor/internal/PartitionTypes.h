// libVantor/internal/PartitionTypes.h
// The MBR partition type numbers the library acts on, in one place.
#pragma once
#include <libVantor/Types.h>

namespace vantor::partition_type {

constexpr u8 EMPTY = 0x00;
constexpr u8 FAT16_SMALL = 0x04;   // FAT16 under 32 MiB
constexpr u8 EXTENDED = 0x05;      // extended partition, CHS addressed
constexpr u8 FAT16 = 0x06;
constexpr u8 FAT32 = 0x0B;
constexpr u8 FAT32_LBA = 0x0C;
constexpr u8 FAT16_LBA = 0x0E;
constexpr u8 EXTENDED_LBA = 0x0F;
constexpr u8 EXTENDED_LINUX = 0x85;
constexpr u8 GPT_PROTECTIVE = 0xEE;

// A FAT16 or FAT32 volume the used-sector map can read.
inline bool isMappableFat(u8 type) {
  return type == FAT16_SMALL || type == FAT16 || type == FAT32 || type == FAT32_LBA || type == FAT16_LBA;
}
// An entry that starts a chain of logical partitions.
inline bool isExtended(u8 type) { return type == EXTENDED || type == EXTENDED_LBA || type == EXTENDED_LINUX; }

}  // namespace vantor::partition_type

// libVantor/internal/GptFormat.h
// Byte offsets and limits of the GUID partition table as GptLayout reads and writes it:
// the header (at LBA 1 and, as the backup, at the disk's last sector), the entries of
// the partition entry array and the protective MBR entry. All fields are little-endian.
// docs/gpt_layout.md describes the layout and the checks made on it.
#pragma once
#include <libVantor/Types.h>

namespace vantor::gpt_format {

// The header, at the start of its sector; the rest of the sector is zero.
constexpr u64 SIGNATURE = 0x5452415020494645ull;  // "EFI PART"
constexpr u32 HDR_SIGNATURE = 0;
constexpr u32 HDR_REVISION = 8;
constexpr u32 HDR_SIZE = 12;             // bytes the header CRC covers
constexpr u32 HDR_CRC = 16;              // computed with these four bytes zero
constexpr u32 HDR_MY_LBA = 24;
constexpr u32 HDR_ALTERNATE_LBA = 32;
constexpr u32 HDR_FIRST_USABLE = 40;
constexpr u32 HDR_LAST_USABLE = 48;
constexpr u32 HDR_DISK_GUID = 56;
constexpr u32 HDR_ENTRIES_LBA = 72;
constexpr u32 HDR_ENTRY_COUNT = 80;
constexpr u32 HDR_ENTRY_SIZE = 84;
constexpr u32 HDR_ENTRIES_CRC = 88;      // over entryCount * entrySize bytes
constexpr u32 MIN_HEADER_SIZE = 92;

// One entry of the array; an entry whose type GUID is all zero is unused.
constexpr u32 ENT_TYPE_GUID = 0;
constexpr u32 ENT_UNIQUE_GUID = 16;
constexpr u32 ENT_FIRST_LBA = 32;
constexpr u32 ENT_LAST_LBA = 40;         // inclusive
constexpr u32 ENT_ATTRIBUTES = 48;
constexpr u32 ENT_NAME = 56;             // UTF-16LE, up to 36 units, zero-padded
constexpr u32 ENT_NAME_UNITS = 36;
constexpr u32 MIN_ENTRY_SIZE = 128;      // and a multiple of 8
constexpr u32 MAX_ENTRIES_BYTES = 1u << 20;  // larger arrays are refused

// The protective MBR in sector 0: four 16-byte entries at byte 446, signature 55 AA.
constexpr u32 MBR_TABLE = 446;
constexpr u32 MBR_ENTRY_TYPE = 4;
constexpr u32 MBR_ENTRY_START = 8;
constexpr u32 MBR_ENTRY_COUNT = 12;
constexpr u8 MBR_PROTECTIVE_TYPE = 0xEE;

// The last sector number a drive LBA (u32) reaches.
constexpr u64 MAX_LBA = 0xFFFFFFFFull;

}  // namespace vantor::gpt_format

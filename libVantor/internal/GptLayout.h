// libVantor/internal/GptLayout.h
// The GUID partition table of a disk (sectors of 512 bytes or more), read and checked
// through IDisk; the sectors it occupies; its backup moved to the end of a disk it was
// copied onto. A table is trusted only when every check of docs/gpt_layout.md passes;
// anything else throws VantorException, nothing is guessed. Choice: a damaged primary is
// refused even when the backup is sound (the message says so), since a copy would carry
// the damage: the user repairs the table first. No state, no locking.
#pragma once
#include <string>
#include <vector>

#include <libVantor/IDisk.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

struct GptPartition {
  u32 number = 0;                // 1-based entry index, as the kernel numbers it
  u8 typeGuid[16] = {};          // on-disk byte order
  u8 uniqueGuid[16] = {};
  u64 firstSector = 0, lastSector = 0;  // inclusive, drive LBAs
  u64 attributes = 0;
  std::string name;              // UTF-8, from the UTF-16LE name (a lone surrogate reads as U+FFFD)
};

struct GptLayout {
  u64 headerSector = 0;          // 1
  u64 alternateSector = 0;       // the backup header's LBA as the primary header says
  u64 firstUsable = 0, lastUsable = 0;
  u64 entriesSector = 0;         // primary entry array LBA
  u32 entryCount = 0, entrySize = 0;
  u64 entriesSectors = 0;        // sectors the array takes (rounded up)
  u8 diskGuid[16] = {};
  std::vector<GptPartition> partitions;  // non-empty entries (type GUID not all zero), in entry order
};

// Reads and checks the primary header at LBA 1 and its entry array (not sector 0:
// readMbrLayout tells a protective MBR). On success every sector the layout names lies
// inside the disk and at or below LBA 0xFFFFFFFF, the arrays sit between the headers and
// the usable range, and the partitions lie inside the usable range without overlapping. The backup is read only when the primary fails.
// Throws ERR_DISK_ACCESS naming the sector of a failed read, ERR_UNSUPPORTED_SECTOR_SIZE
// for sectors under 512 or over 65,536 bytes, ERR_UNSUPPORTED_FILE_SYSTEM otherwise.
GptLayout readGptLayout(const IDisk& disk);

// The sectors the table occupies: the protective MBR (sector 0), the primary header and
// entry array, and the backup entry array and header at the places the primary header
// names (the backup array just before the backup header). Throws ERR_INVALID_ARGUMENT
// for a layout that names a sector past 0xFFFFFFFF or a backup array before sector 0.
SectorMap gptTableSectors(const GptLayout& layout);

// After the sectors of a GPT disk were copied onto `target` (any size, same sector
// size): moves the backup to the target's end as GPT tools do when a disk is copied to
// a bigger one. The primary header gets AlternateLBA = the last sector and LastUsableLBA
// = last sector - entriesSectors - 1 (CRC recomputed); the primary array is written
// just before the last sector and a backup header (MyLBA and AlternateLBA swapped,
// PartitionEntryLBA pointing at that array) on it; a protective MBR entry 0xEE at LBA 1
// that is sector 0's only entry gets min(sectors - 1, 0xFFFFFFFF) sectors (a hybrid MBR
// is left as it is). Writes in that order, the MBR last, and only after every check:
// a primary table the reader would refuse (leaving aside where its old backup lies,
// ERR_UNSUPPORTED_FILE_SYSTEM), a partition past the new LastUsableLBA or a target too
// small for the arrays (ERR_VOLUME_EXCEEDS_DRIVE) throw with nothing written, and so does
// a target past LBA 0xFFFFFFFF (ERR_INVALID_ARGUMENT). A failed transfer throws
// ERR_DISK_ACCESS naming the sector. The caller keeps the target dismounted; the old
// backup, where the copy put it, is left in the free space. With `sectorZero`, the sector 0
// the target is to get but does not hold yet (a restore writes it last): the protective
// MBR is read and fixed there, and the caller writes it afterwards.
void relocateGptBackup(IDisk& target, u8* sectorZero = nullptr);

// Refuses (ERR_VOLUME_TOO_LARGE) a drive of `driveSectors` sectors without room after
// the last partition of `gpt` for the backup table a restore makes at its end; `whose`
// names the table's owner in the message ("image's", "source's").
void requireRoomForGptBackup(const GptLayout& gpt, u64 driveSectors, const char* whose);

// Whether `sector` (`sectorSize` bytes) starts with a GPT header's signature, "EFI PART".
bool isGptHeader(const u8* sector, u32 sectorSize);
// The AlternateLBA field of the header at `header`.
u64 gptAlternateSector(const u8* header);
// A GUID in its on-disk byte order as text, upper case: "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
// (the first three fields are little-endian on disk).
std::string guidText(const u8* guid);

}  // namespace vantor

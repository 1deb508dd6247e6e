// libVantor/internal/DriveMap.h
// The used-sector map of an MBR-partitioned drive, which image capture copies: the MBR
// sector, the sectors between it and the first partition that hold data (looked for only
// below sector 2048), and the system area and used clusters of every partition, each of
// which must be FAT16 (types 04h, 06h, 0Eh) or FAT32 (0Bh, 0Ch). Any other non-empty
// entry, extended partitions included, fails the whole map. All reads go through
// IDisk::readSectors, so a data filter on the disk applies.
// A drive of fewer than 512 sectors is mapped like any other.
// Free functions, no state, no locking.
#pragma once
#include <libVantor/IDisk.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

// Replaces `map` with the drive's used-sector map and leaves in `highestVolumeSector`
// the largest last sector of any non-empty partition. A partition reaching past the
// drive's last sector fails with ERR_VOLUME_EXCEEDS_DRIVE unless allowVolumeBeyondDrive,
// in which case it is mapped all the same. Throws VantorException (the first failing
// entry in table order ends the map); `map` is then unchanged, while
// `highestVolumeSector` may hold a partial value.
void getDriveMap(IDisk& disk, SectorMap& map, u64& highestVolumeSector, bool allowVolumeBeyondDrive);

// Throws ERR_VOLUME_EXCEEDS_DRIVE ("Last volume sector exceeds drive extents.") when a
// volume from `start` to `lastSector` reaches past the drive's last sector, unless
// allowVolumeBeyondDrive.
void checkVolumeExtent(const IDisk& disk, u64 start, u64 lastSector, bool allowVolumeBeyondDrive);

// Adds to `map` every sector in [from, to) below 2048 that is not entirely zero: what a
// boot loader keeps between a table and the first volume. A failed read ends the scan
// quietly, keeping what was found so far.
void findUsedSectorsInGap(IDisk& disk, u64 from, u64 to, SectorMap& map);

// Adds to `map` every sector from 1 up to (not including) the first partition's start,
// and below 2048, that is not entirely zero. The first partition is the smallest non-zero
// start sector of the four entries, whatever their types; with none, sectors 1 to 2048
// are added unread. A failed read ends the scan quietly, keeping what was found so far.
void findUsedSectorsAfterMbr(IDisk& disk, const PARTITION_TABLE_ENTRY entries[4], SectorMap& map);

}  // namespace vantor

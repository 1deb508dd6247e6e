// libVantor/internal/EveryVolumeMap.h
// The used-sector map of any drive, beside the FAT-only map of DriveMap.h: an MBR with
// primary and logical volumes (each extended boot record included), a GPT (its headers
// and entry arrays at both ends included), or a file system written straight onto the
// drive with no table. Each volume is recognised by its content, not its type, and
// mapped by its file system's mapper (FAT16/FAT32, exFAT, NTFS, ext2/3/4).
// Choices made here, so that nothing a partition covers is ever left out:
// - a volume no mapper knows, or whose metadata its mapper refuses (damaged, a feature
//   it does not read, FAT12, FAT of another logical sector size), is copied whole, and
//   its record says why;
// - a drive with neither a partition table nor a recognised file system at sector 0 is
//   copied whole; an MBR whose table is empty is mapped as DriveMap maps it.
// Failed reads throw ERR_DISK_ACCESS, a damaged table its own error. No state.
#pragma once
#include <libVantor/DriveVolumes.h>
#include <libVantor/IDisk.h>
#include <libVantor/internal/GptLayout.h>
#include <libVantor/internal/SectorMap.h>

#include <boost/optional.hpp>

namespace vantor {

struct EveryVolumeMap {
  SectorMap map;
  u64 highestVolumeSector = 0;  // the largest last sector of any volume (0: none)
  DRIVE_LAYOUT layout;
};

// A volume reaching past the drive's last sector fails with ERR_VOLUME_EXCEEDS_DRIVE
// unless allowVolumeBeyondDrive, in which case the part on the drive is mapped.
EveryVolumeMap mapEveryVolume(IDisk& disk, bool allowVolumeBeyondDrive);

// The GPT of a disk (a captured image seen as one, say) when it is sound and has room
// for its backup entry array before the backup header; none otherwise. Its backup table,
// [alternateSector - entriesSectors, alternateSector], is what a restore onto a drive of
// another size leaves out and makes anew at the drive's end. Throws only ERR_DISK_ACCESS.
boost::optional<GptLayout> soundGptOf(const IDisk& disk);

}  // namespace vantor

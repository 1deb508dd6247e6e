// libVantor/DriveVolumes.h
// What a drive holds, as a capture that covers every volume reads it: the kind of its
// partition table and each volume with the file system its content shows, the cluster
// or block size, how many of them are in use, and whether a capture takes only the
// used sectors or copies the volume whole (and why). Works on any disk: a drive, a disk
// file, a captured image seen as an ImageDisk. Only reads. Throws VantorException when
// the table itself cannot be read or is damaged; a damaged volume is reported, not
// thrown. No state, no locking.
#pragma once
#include <string>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

struct DRIVE_VOLUME {
  u32 number = 0;          // as the system numbers it: 1-4 primary, 5... logical, GPT entry; 0: the whole drive
  u8 mbrType = 0;          // the MBR entry's type (0 in a GPT or without a table)
  std::string gptType;     // the GPT type GUID as text, upper case ("" outside a GPT)
  std::string name;        // the GPT partition name ("" outside a GPT)
  u64 firstSector = 0;     // drive LBA
  u64 sectorCount = 0;     // as the table gives it
  std::string fileSystem;  // "fat12", "fat16", "fat32", "exfat", "ntfs", "ext2", "ext3", "ext4"; "" when none recognised
  bool copiedWhole = false;  // a capture takes every sector of the volume
  std::string reason;        // why it is copied whole ("" when only its used sectors are taken)
  u32 unitBytes = 0;         // cluster or block size; 0 when the volume is copied whole
  u64 unitCount = 0;         // clusters or blocks of the file system
  u64 usedUnits = 0;         // of those, the ones in use
};

struct DRIVE_LAYOUT {
  std::string table;  // "mbr", "gpt", or "none" (a file system on the whole drive, or nothing recognised)
  std::vector<DRIVE_VOLUME> volumes;  // in table order
  u64 usedSectors = 0;                // what a capture of every volume takes, tables included
};

class VANTOR_EXPORT DriveVolumes final {
 public:
  // Reads the table and every volume's allocation (the bitmaps or the FAT).
  static DRIVE_LAYOUT ofDisk(IDisk& disk);
  // Only the table's kind, from sector 0: "gpt" for a protective entry, "mbr" for a
  // table signature, "none" otherwise. Throws ERR_DISK_ACCESS when it cannot be read.
  static std::string tableOf(const IDisk& disk);
};

}  // namespace vantor

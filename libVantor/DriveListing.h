// libVantor/DriveListing.h
// The machine's drives as a host lists them for a user to choose from: each drive's
// locator, kind, media, display text, size and sector size, whether its medium refuses
// writes, why it cannot be opened (if so), where it is mounted, and its volumes with the
// file system, label and mount points of each. Read from the system without opening a
// drive for writing and without reading a sector through the library. Never throws: a
// drive that does not open is listed with the system's reason, a fact the system does
// not give is left empty or 0 (only running out of memory raises). No state, no locking.
#pragma once
#include <string>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

// The kinds a drive is listed as; the same numbers as the device types that
// DiskDevice::enumDevices filters by.
enum DriveKind : u32 {
  DRIVE_USB = 1,       // a USB-attached disk
  DRIVE_CARD = 2,      // a memory card
  DRIVE_INTERNAL = 4,  // a disk on any other bus
  DRIVE_VIRTUAL = 8,   // a disk made of a file or served over the network
};

struct LISTED_VOLUME {
  std::string locator;     // the path the volume opens by: "/dev/sdb1", "\\?\Volume{...}"
  bool extentKnown = false;
  u64 firstByte = 0;       // where it lies on its drive, when known
  u64 byteCount = 0;
  std::string fileSystem;  // in the system's words ("vfat", "FAT32"); "" when none is recognised
  std::string label;
  std::string uuid;        // UUID or volume serial number
  std::vector<std::string> mountPoints;   // "/media/key"; "E:", "C:\mnt\key"
  std::vector<std::string> driveLetters;  // "E:"; none outside Windows
};

struct LISTED_DRIVE {
  std::string locator;      // the path DiskFactory::getDiskDevice opens: "/dev/sdb", "\\.\PhysicalDrive1"
  DriveKind kind = DRIVE_INTERNAL;
  MediaType media = MEDIA_UNKNOWN;
  std::string product;      // maker and model, or the file behind a virtual disk; "" when unnamed
  std::string displayText;  // as DiskDevice::enumDevices describes the drive
  u64 sizeBytes = 0;        // 0 when unknown (no medium)
  u32 sectorSize = 0;       // logical; 0 when unknown
  bool readOnly = false;    // the medium or the device refuses writes
  std::string openError;    // why the drive does not open for reading; "" when it does
  std::vector<std::string> mountPoints;  // of the drive and its volumes, in volume order
  std::vector<LISTED_VOLUME> volumes;    // partitions in disk order (see the platform's SysHost.cpp)
};

class VANTOR_EXPORT DriveListing final {
 public:
  // Every disk of the machine (no floppy drives), in the system's order.
  static std::vector<LISTED_DRIVE> drives();
  enum Detail { WITH_VOLUMES, WITHOUT_VOLUMES };
  // The listed drive whose locator is `locator` (or names the same node); false when none
  // is. WITHOUT_VOLUMES leaves `volumes` and `mountPoints` empty and reads no sector of the
  // drive (probing its volumes reads dozens of small blocks, which a slow key feels).
  static bool find(const std::string& locator, LISTED_DRIVE& drive, Detail detail = WITH_VOLUMES);
};

}  // namespace vantor

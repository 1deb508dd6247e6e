// libVantor/internal/SysHost.h
// The machine's drives as the disk classes see them: the device set that listing walks,
// each drive's size, sector size, media kind and volumes, and the file system on each
// volume. Declared once here; each platform implements it in
// os_includes/<platform>/libVantor/SysHost.cpp (sysfs, block-device ioctls and libblkid
// on Linux; SetupAPI, IOCTL_STORAGE_* and the volume functions on Windows). Nothing here
// changes a device. No locking; the objects are plain values (a drive shares its open
// handle). Nothing throws on what it reads from the system: a value that does not parse
// is left out (only running out of memory raises).
//
// Device types (WindowsDevice::getType): 1 USB-attached disk, 2 memory card, 4 internal
// disk, 8 virtual disk, 16 floppy drive; which system devices fall in which kind is said
// in each platform's SysHost.cpp. Media kind (WindowsDrive::getMediaType): 0 fixed,
// 1 removable, 2 neither. The library maps 0 to MEDIA_FIXED and 1 to MEDIA_REMOVABLE.
#pragma once
#include <memory>

#include <libVantor/Types.h>
#include <vrk/Array.h>
#include <vrk/Resource.h>
#include <vrk/String.h>

namespace libSysHost {

using vrk::u32;
using vrk::u64;

enum WinDeviceType : u32 {
  DEVICE_USB_DISK = 1,
  DEVICE_MEMORY_CARD = 2,
  DEVICE_INTERNAL_DISK = 4,
  DEVICE_VIRTUAL_DISK = 8,
  DEVICE_FLOPPY = 16,
};

// Where a volume lies on its drive, in bytes. Two volumes of one drive with equal extents
// are the same stretch of sectors, whatever the system has numbered them.
struct VolumeExtent {
  u64 firstByte = 0;
  u64 byteCount = 0;
  friend bool operator==(const VolumeExtent& a, const VolumeExtent& b) {
    return a.firstByte == b.firstByte && a.byteCount == b.byteCount;
  }
  friend bool operator!=(const VolumeExtent& a, const VolumeExtent& b) { return !(a == b); }
};

// What a volume holds, as the system recognises it: the file system's type in the
// system's own words ("vfat", "ext4", "ntfs"), its label and its UUID or serial number.
// Each is empty when unknown; a volume without a recognised file system has none.
struct FileSystemFacts {
  vrk::String type;
  vrk::String label;
  vrk::String uuid;
};

// One volume of a drive.
class Volume {
 public:
  Volume(const vrk::String& locator, u64 systemId, char driveLetter, const VolumeExtent& extent, bool extentKnown,
         const FileSystemFacts& fileSystem = FileSystemFacts());

  // True, with the letter, when the volume has a drive letter.
  bool getDriveLetter(char& letter) const;
  // The path that opens the volume.
  const vrk::String& getOSLocator() const { return locator_; }
  // The system's number for the volume (a device number, a volume serial): equal for the
  // same volume, and only meaningful to the platform side.
  u64 getSystemId() const { return systemId_; }
  // Where the volume lies on its drive; false when the system did not say.
  bool getExtent(VolumeExtent& extent) const;
  // What the system found on the volume when the drive's volumes were read.
  const FileSystemFacts& getFileSystem() const { return fileSystem_; }

 private:
  vrk::String locator_;
  u64 systemId_;
  char driveLetter_;
  VolumeExtent extent_;
  bool extentKnown_;
  FileSystemFacts fileSystem_;
};

// What a listing shows of a device beyond its kind and text, read from the system without
// opening the device for sector transfers: size and logical sector size (0 when the
// system does not say), media kind (WindowsDrive::MediaType), whether the system marks it
// read-only, and its volumes with what each holds. The volumes are the drive's
// partitions, preceded by the whole drive when a file system is mounted from it or when
// it has no partitions and holds a file system itself.
struct DeviceFacts {
  vrk::String product;  // maker and model, or the file behind a virtual disk; empty when unnamed
  u64 sizeBytes = 0;
  u32 sectorSize = 0;
  u32 media = 2;
  bool readOnly = false;
  vrk::Array<Volume> volumes;
};

class WindowsDevice {
 public:
  WindowsDevice(const vrk::String& locator, WinDeviceType type, const vrk::String& displayText,
                const DeviceFacts& facts = DeviceFacts());

  // The path the system opens the device by.
  const vrk::String& getOsLocator() const { return locator_; }
  WinDeviceType getType() const { return type_; }
  // The display text; `extra`, when not empty, follows after a blank.
  void getDisplayName(vrk::String& name, const vrk::String& extra) const;
  // What the append found out about the device besides.
  const DeviceFacts& facts() const { return facts_; }

 private:
  vrk::String locator_;
  WinDeviceType type_;
  vrk::String display_;
  DeviceFacts facts_;
};

// The devices found by the appends, in the order they were appended. Owns its devices.
class WindowsDeviceSet {
 public:
  WindowsDeviceSet() = default;
  ~WindowsDeviceSet() = default;

  // Adds the machine's disks; with `onlyLocator`, only the disk that opens by that path
  // (as the system names it, links followed), so that no other drive is asked or read.
  // Without `withVolumes` the disks come without their volumes (and their display text
  // without file systems): no volume is probed, so no sector of the disk is read.
  void appendDisks(const std::string& onlyLocator = std::string(), bool withVolumes = true);
  // Adds the floppy drives.
  void appendFloppies();
  u32 size() const { return devices_.size(); }
  const WindowsDevice& operator[](u32 index) const { return devices_[index]; }

 private:
  vrk::Array<WindowsDevice> devices_;
};

class WindowsDrive {
 public:
  enum MediaType : u32 { FixedMedia = 0, RemovableMedia = 1, UnknownMedia = 2 };
  using SharedHandle = std::shared_ptr<vrk::FileHandle>;

  // Keeps the shared handle to the open drive and reads the drive's volumes.
  explicit WindowsDrive(const SharedHandle& driveHandle);
  ~WindowsDrive();
  WindowsDrive(const WindowsDrive&) = delete;
  WindowsDrive& operator=(const WindowsDrive&) = delete;

  // Bytes; 0 when unknown.
  u64 getTotalCapacity() const;
  // Logical sector size; 512 when the system does not say (a regular file).
  u32 getSectorSize() const;
  MediaType getMediaType() const;
  // With `rescanVolumes`, reads the volume list again from the system.
  void update(bool rescanVolumes);
  const vrk::Array<Volume>& volumes() const { return volumes_; }

 private:
  SharedHandle handle_;
  vrk::String systemPath_;  // where the system describes the drive (a sysfs directory, an interface path)
  u64 systemId_ = 0;        // the system's number for the drive
  bool isPartition_ = false;
  vrk::Array<Volume> volumes_;
};

}  // namespace libSysHost

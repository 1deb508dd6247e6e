// os_includes/posix/libVantor/SysHost.h
//
// The machine's block devices as the disk classes see them, read from sysfs
// (/sys/block), /proc/self/mountinfo and a few block-device ioctls. Nothing here
// changes a device: it lists drives, their volumes and where those are mounted.
// No locking; the objects are plain values (a drive shares its open handle). Nothing
// here throws on what it reads: a sysfs or mount-table value that does not parse is
// skipped (only running out of memory raises).
//
// Device types (WindowsDevice::getType):
//   1 USB-attached disk: the device behind /sys/block/X resolves through a usb bus;
//   2 memory card: mmcblk* (its boot and rpmb areas are not listed);
//   4 internal disk: ATA, NVMe, SCSI, virtio and every other disk on a real bus;
//   8 virtual disk: a loop device with a backing file, nbd;
//  16 floppy drive: fd*, listed by appendFloppies only.
// So listing flags 0x04|0x08 give what a user calls USB keys and cards, and only
// "every kind" (0x10) gives virtual disks. Loop devices without a backing file, ram,
// zram, device-mapper, md and optical drives are not listed.
//
// Media kind (WindowsDrive::getMediaType): 0 fixed, 1 removable (sysfs `removable`
// is 1, or the disk is USB- or MMC-attached), 2 neither (not a block device). The
// library maps 0 to MEDIA_FIXED (1) and 1 to MEDIA_REMOVABLE (0).
//
// Volumes of a drive: its partitions in partition-number order, preceded by the whole
// disk while a file system is mounted from it (a blank drive has no volume). No volume has a drive
// letter; a volume is opened by its node, "/dev/NAME" or "/dev/NAMEpN".
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

// One line of /proc/self/mountinfo, escapes decoded.
struct MountEntry {
  u32 id = 0;
  u64 device = 0;        // makeDeviceNumber(major, minor) of the mounted device
  vrk::String root;      // directory of the file system seen at `target` ("/" unless a bind)
  vrk::String target;    // the mount directory
  vrk::String mountOptions;  // per-mount options: rw/ro, nosuid, nodev, noexec, atime
  vrk::String fsType;
  vrk::String source;    // the device node, as given when mounted
  vrk::String superOptions;  // file-system options
};

inline u64 makeDeviceNumber(u32 major, u32 minor) { return (u64(major) << 32) | minor; }

// Every mount of this process's mount namespace, in the table's order (parents first).
vrk::Array<MountEntry> readMountTable();

// Where a volume lies on its disk, in the 512-byte units sysfs counts in: start 0 and the
// disk's size for a whole disk. Two volumes with equal extents on one disk are the same
// stretch of sectors, whatever the kernel has numbered them.
struct VolumeExtent {
  u64 start = 0;
  u64 size = 0;
  friend bool operator==(const VolumeExtent& a, const VolumeExtent& b) {
    return a.start == b.start && a.size == b.size;
  }
  friend bool operator!=(const VolumeExtent& a, const VolumeExtent& b) { return !(a == b); }
};

// The extent of the block device numbered `device` (makeDeviceNumber); false when sysfs
// does not know the device (gone, or an anonymous device of a file system without one).
bool extentOfDevice(u64 device, VolumeExtent& extent);
// The extent of the block device the node `node` opens now; false when the node is gone or
// is not a block device the kernel knows.
bool extentOfNode(const vrk::String& node, VolumeExtent& extent);

class WindowsDevice {
 public:
  WindowsDevice(const vrk::String& kernelName, WinDeviceType type, const vrk::String& displayText);

  // "/dev/NAME".
  const vrk::String& getOsLocator() const { return locator_; }
  WinDeviceType getType() const { return type_; }
  // Vendor, model and capacity where sysfs has them; for a loop device its backing
  // file. `extra`, when not empty, follows after a blank.
  void getDisplayName(vrk::String& name, const vrk::String& extra) const;
  const vrk::String& getKernelName() const { return name_; }

 private:
  vrk::String name_;
  vrk::String locator_;
  WinDeviceType type_;
  vrk::String display_;
};

// The devices found by the appends, in the order they were appended. Owns its devices.
class WindowsDeviceSet {
 public:
  WindowsDeviceSet() = default;
  ~WindowsDeviceSet() = default;

  // Adds the machine's disks, in natural name order (sda, sdb, ..., loop2, loop10).
  void appendDisks();
  // Adds the floppy drives (/sys/block/fd*); none on most machines.
  void appendFloppies();
  u32 size() const { return devices_.size(); }
  const WindowsDevice& operator[](u32 index) const { return devices_[index]; }

 private:
  vrk::Array<WindowsDevice> devices_;
};

class Volume {
 public:
  Volume(const vrk::String& kernelName, u64 device, u32 partitionNumber);

  // Always false: volumes are reached by their node, not by a letter.
  bool getDriveLetter(char& letter) const;
  // The node that opens the volume: "/dev/NAMEpN", or "/dev/NAME" for a whole disk.
  const vrk::String& getOSLocator() const { return locator_; }
  u64 getDeviceNumber() const { return device_; }
  // 0 for the whole disk.
  u32 getPartitionNumber() const { return partition_; }
  // The volume's mounts now, read afresh from the mount table (matched by device
  // number, or by source node for file systems that report their own).
  vrk::Array<MountEntry> getMounts() const;

 private:
  vrk::String name_;
  vrk::String locator_;
  u64 device_;
  u32 partition_;
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

  // Bytes (BLKGETSIZE64; the file size for a regular file); 0 when unknown.
  u64 getTotalCapacity() const;
  // Logical block size (BLKSSZGET); 512 for a regular file.
  u32 getSectorSize() const;
  MediaType getMediaType() const;
  // With `rescanVolumes`, reads the volume list again from sysfs.
  void update(bool rescanVolumes);
  const vrk::Array<Volume>& volumes() const { return volumes_; }
  // The drive's name in /sys/block ("loop3"); empty when it is not a block device.
  const vrk::String& getKernelName() const { return name_; }

 private:
  SharedHandle handle_;
  vrk::String name_;
  vrk::String sysPath_;  // the drive's sysfs directory
  bool isPartition_ = false;
  u64 device_ = 0;
  vrk::Array<Volume> volumes_;
};

}  // namespace libSysHost

// tools/vantor/BlockDevice.h
// What the host learns about a drive from the system, beside the library: its name, a
// display text, which file backs a loop device, and, for the listing, the machine's
// whole disks and the kind of each. Whether a drive may be written is the library's
// question (WriteSafety), not this class's. Construction throws
// VantorException(ERR_DISK_ACCESS) for a path that is not a drive. No state beyond the
// names read at construction; use from one thread.
//  - Linux (posix/BlockDevice.cpp): block device nodes ("/dev/sdb"), asked of sysfs.
//  - Windows (windows/BlockDevice.cpp): physical drives ("\\.\PhysicalDrive1"), asked
//    with queries that read no sector. There are no loop devices, and the device number
//    is the drive's number.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantor::cli {

class BlockDevice {
 public:
  // What the listing calls a drive of each kind. Other: RAM disks, device mapper,
  // RAID, optical and floppy drives, unbound loop devices; never listed.
  enum class Kind { Usb, Card, Internal, Virtual, Other };

  explicit BlockDevice(const std::string& path);

  // "sdb", "loop3", "mmcblk0p1"; "PhysicalDrive1".
  const std::string& kernelName() const { return name_; }
  // The path the drive opens by: "/dev/sdb"; "\\.\PhysicalDrive1".
  std::string node() const;
  // "loop3: /tmp/disk.img", "sdb: SanDisk Cruzer Blade", or the name alone.
  std::string description() const;
  // The file behind a loop device or a partition of one; "" for any other device.
  std::string backingFile() const;
  dev_t deviceNumber() const { return device_; }
  // USB-attached, memory card, internal, loop or network block device, or other.
  Kind kind() const;
  // Capacity and logical sector size as the system reports them, without opening the
  // device; 0 when unknown.
  std::uint64_t sizeBytes() const;
  std::uint32_t logicalSectorSize() const;

  // The kernel name of the block device whose device number is `device`, or "" when
  // the system does not know it.
  static std::string kernelNameOf(dev_t device);
  static bool isBlockDevice(const std::string& path);
  // True when `path` is spelled as a drive is ("/dev/...", "\\.\..."), whether or not
  // one is there.
  static bool isDevicePath(const std::string& path);
  // Why the drive at `node` cannot be opened for reading, in the system's words, or ""
  // when it can.
  static std::string openError(const std::string& node);
  // The whole disks of the machine (/sys/block) that have a node in /dev, by device number.
  static std::vector<BlockDevice> disks();

 private:
  std::string name_;
  std::string sysDir_;
  dev_t device_ = 0;
};

}  // namespace vantor::cli

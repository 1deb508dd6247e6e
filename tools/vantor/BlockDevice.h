// tools/vantor/BlockDevice.h
// What the host learns about a block device node from the system, before and beside
// the library: its kernel name, a display text, and whether the device, one of its
// partitions or anything stacked on them (device mapper, RAID) holds a mounted system
// file system (/, /boot, /boot/efi, /usr, /var) or active swap. That question is asked
// of the mount and swap tables, read through libmount afresh on each call; a mount
// table that cannot be read counts as a system use (nothing tells the device is free). It also
// tells which file backs a loop device. Construction throws
// VantorException(ERR_DISK_ACCESS) for a path that is not a block device. It tells
// which loop devices a disk file backs, where a device and its partitions are mounted,
// and, for the listing, the machine's whole disks and the kind of each. No state
// beyond the names read at construction; use from one thread.
#pragma once
#include <cstdint>
#include <set>
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

  // "sdb", "loop3", "mmcblk0p1".
  const std::string& kernelName() const { return name_; }
  // "loop3: /tmp/disk.img", "sdb: SanDisk Cruzer Blade", or the kernel name alone.
  std::string description() const;
  // Empty when writing is allowed; otherwise why not ("/ is mounted from /dev/sdX2").
  std::string systemUse() const;
  // The file behind a loop device or a partition of one; "" for any other device.
  std::string backingFile() const;
  dev_t deviceNumber() const { return device_; }
  // The device itself, its partitions, and their holders, transitively.
  std::set<dev_t> family() const;
  // Where the device, its partitions or their holders are mounted, in mount table order.
  std::vector<std::string> mountPoints() const;
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
  // The whole disks of the machine (/sys/block) that have a node in /dev, by device number.
  static std::vector<BlockDevice> disks();
  // The loop devices ("/dev/loop3") whose backing file is the file at `path`.
  static std::vector<std::string> loopDevicesBackedBy(const std::string& path);

 private:
  std::string name_;
  std::string sysDir_;
  dev_t device_ = 0;
};

}  // namespace vantor::cli

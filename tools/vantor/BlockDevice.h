// tools/vantor/BlockDevice.h
// What the host learns about a drive from the system before it opens it for writing: its
// name, and whether the drive, one of its partitions or anything stacked on them holds
// the running system. It also tells which file backs a loop device, which loop devices a
// disk file backs, and where a drive and its partitions are mounted. (The listing of
// drives is the library's DriveListing.) Construction throws
// VantorException(ERR_DISK_ACCESS) for a path that is not a drive. No state beyond the
// names read at construction; use from one thread.
//  - Linux (posix/BlockDevice.cpp): block device nodes ("/dev/sdb"), asked of sysfs; the
//    system's use is a mounted /, /boot, /boot/efi, /usr or /var, or active swap, asked
//    of the mount and swap tables (libmount) afresh on each call (a mount table that
//    cannot be read counts as a system use: nothing tells the device is free).
//  - Windows (windows/BlockDevice.cpp): physical drives ("\\.\PhysicalDrive1"), asked
//    with queries that read no sector; the system's use is the volume of the Windows
//    folder (a drive whose volumes cannot be asked counts as holding it). There are no
//    loop devices, and the device number is the drive's number.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantor::cli {

class BlockDevice {
 public:
  explicit BlockDevice(const std::string& path);

  // "sdb", "loop3", "mmcblk0p1"; "PhysicalDrive1".
  const std::string& kernelName() const { return name_; }
  // The path the drive opens by: "/dev/sdb"; "\\.\PhysicalDrive1".
  std::string node() const;
  // Empty when writing is allowed; otherwise why not ("/ is mounted from /dev/sdX2").
  std::string systemUse() const;
  // The file behind a loop device or a partition of one; "" for any other device.
  std::string backingFile() const;
  dev_t deviceNumber() const { return device_; }
  // The device itself, its partitions, and their holders, transitively.
  std::set<dev_t> family() const;
  // Where the device, its partitions or their holders are mounted, in mount table order.
  std::vector<std::string> mountPoints() const;

  // The kernel name of the block device whose device number is `device`, or "" when
  // the system does not know it.
  static std::string kernelNameOf(dev_t device);
  static bool isBlockDevice(const std::string& path);
  // True when `path` is spelled as a drive is ("/dev/...", "\\.\..."), whether or not
  // one is there.
  static bool isDevicePath(const std::string& path);
  // The loop devices ("/dev/loop3") whose backing file is the file at `path`.
  static std::vector<std::string> loopDevicesBackedBy(const std::string& path);

 private:
  std::string name_;
  std::string sysDir_;
  dev_t device_ = 0;
};

}  // namespace vantor::cli

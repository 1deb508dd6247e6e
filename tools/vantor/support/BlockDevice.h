// tools/vantor/support/BlockDevice.h
// What the host learns about a drive from the system, beside the library: its name and
// node, and which file backs a loop device. The listing of drives is the library's
// DriveListing, and whether a drive may be written is the library's WriteSafety.
// Construction throws
// VantorException(ERR_DISK_ACCESS) for a path that is not a drive. No state beyond the
// names read at construction; use from one thread.
//  - Linux (posix/BlockDevice.cpp): block device nodes ("/dev/sdb"), asked of sysfs.
//  - Windows (windows/BlockDevice.cpp): physical drives ("\\.\PhysicalDrive1"), asked
//    with queries that read no sector. There are no loop devices, and the device number
//    is the drive's number.
#pragma once
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
  // The file behind a loop device or a partition of one; "" for any other device.
  std::string backingFile() const;
  dev_t deviceNumber() const { return device_; }

  // The kernel name of the block device whose device number is `device`, or "" when
  // the system does not know it.
  static std::string kernelNameOf(dev_t device);
  static bool isBlockDevice(const std::string& path);
  // True when `path` is spelled as a drive is ("/dev/...", "\\.\..."), whether or not
  // one is there.
  static bool isDevicePath(const std::string& path);

 private:
  std::string name_;
  std::string sysDir_;
  dev_t device_ = 0;
};

}  // namespace vantor::cli

// libVantor/internal/SystemUseOps.h
// What WriteSafety asks the system about drives and files. Declared once here;
// os_includes/<platform>/libVantor/SystemUseOps.cpp implements it (the mount and swap
// tables and sysfs on Linux; the Windows folder, the registry's record of the system
// partition, page, dump and hibernation files, and volume extents, through WinApi, on
// Windows). Nothing here changes anything, logs or throws.
#pragma once
#include <vrk/String.h>

namespace vantor::os {

// Why the drive at `locator` holds the running system, or "" when it does not. A table
// or a volume that cannot be read counts as holding it, and the reason says so.
vrk::String systemUseOf(const vrk::String& locator);

// The loop devices backed by the file at `path`, each with where it or its partitions
// are mounted: "/dev/loop3 (mounted at /mnt/key), /dev/loop4"; "" when none.
vrk::String loopDevicesBackedBy(const vrk::String& path);

// How a file at `file` overlaps the disk at `locator` (a drive, or with `isFile` a disk file).
enum class Overlap {
  None,
  SameFile,       // the disk file itself, or the drive's node
  BehindLoop,     // the file behind the loop device `locator`
  OnItsVolumes,   // a file in a file system on the drive, its partitions or what is stacked on them
};
Overlap overlapOf(const vrk::String& file, const vrk::String& locator, bool isFile);

// Whether two disks (drives, or with `isFile` disk files) share a medium: the same drive
// or file, a drive and its partitions or what is stacked on them, a loop device and the
// file behind it, two loop devices over one file, or a disk file on the other's volumes.
bool shareMedium(const vrk::String& a, bool aIsFile, const vrk::String& b, bool bIsFile);

}  // namespace vantor::os

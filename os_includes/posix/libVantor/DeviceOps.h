// os_includes/posix/libVantor/DeviceOps.h
//
// What the physical-drive disk needs from Linux to take a drive's volumes out of the
// system's hands and give them back: opening the drive and its volume nodes, unmounting
// and mounting again, and making the kernel read the partition table anew. Nothing here
// logs or throws: each call says whether it worked, and os::lastSystemError() gives the
// system's code right after a failure.
#pragma once
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/SysHost.h>
#include <libVantor/internal/MbrLayout.h>
#include <vrk/Array.h>
#include <vrk/String.h>

namespace vantor::os {

// How a drive was opened.
enum class DriveAccess {
  ReadWrite,
  WriteProtected,  // the medium or the device refuses writes: opened for reading only
  NoMedium,        // an empty card-reader slot: opened without a medium, 0 bytes large
};

// Opens a whole drive for sector transfers, bypassing the system cache (O_DIRECT: whole
// sectors from aligned memory only): read-write where the device allows it. A medium
// that refuses writes at open (EROFS, a write-protected card or key) is opened for
// reading instead, and a device marked read-only (BLKROGET) is reported as such; an empty
// slot (ENOMEDIUM) is opened without its medium (O_NONBLOCK), as a drive of 0 bytes.
// -1 on any other failure.
NativeHandle openDrive(const vrk::String& locator, DriveAccess& access);

// Opens a volume node read-only. With `exclusive` the open claims the volume, which the
// kernel refuses (EBUSY) while it is mounted or claimed by anybody else; as long as the
// handle is open, nobody can mount the volume or claim it.
NativeHandle openVolume(const vrk::String& locator, bool exclusive);

// Unmounts one mount of a volume. A busy file system refuses (no lazy detach).
[[nodiscard]] bool unmount(const libSysHost::MountEntry& entry);

// Mounts `entry` again as it was: same source, directory, file-system type and options.
// A bind of a subdirectory is made again from a whole-volume mount of the same device
// among `mountedBack` (the entries already mounted back); without one it fails.
[[nodiscard]] bool mountAgain(const libSysHost::MountEntry& entry, const vrk::Array<libSysHost::MountEntry>& mountedBack);

// Makes the kernel's partitions of `drive` match the table `layout` read from it
// (sectors of `sectorSize` bytes). Asks the kernel to re-read the table (BLKRRPART, for
// kernels that parse it), then brings the kernel's partitions in line with BLKPG (delete
// what no longer matches, resize what only changed its length, add what is new), as
// `partx -u` does. A GPT is left to the kernel. On a loop device attached without
// partition scanning nothing is added: the kernel would keep such partitions after the
// device is detached and show them on the next file attached under that number.
// False when `drive` is not a whole disk, the table could not be read, or the kernel
// refused a change (the others still run).
bool rereadPartitionTable(NativeHandle drive, MbrLayoutKind layoutKind, const std::vector<MbrPartition>& layout,
                          u32 sectorSize);

}  // namespace vantor::os

// os_includes/posix/libVantor/MountTable.h
//
// The Linux side's reading of /proc/self/mountinfo, shared by the drive listing and the
// volume operations of this folder. Nothing here changes a mount.
#pragma once
#include <libVantor/Types.h>
#include <vrk/Array.h>
#include <vrk/String.h>

namespace vantor::os {

// One line of /proc/self/mountinfo, escapes decoded.
struct MountEntry {
  u32 id = 0;
  u64 device = 0;            // deviceNumber(major, minor) of the mounted device
  vrk::String root;          // directory of the file system seen at `target` ("/" unless a bind)
  vrk::String target;        // the mount directory
  vrk::String mountOptions;  // per-mount options: rw/ro, nosuid, nodev, noexec, atime
  vrk::String fsType;
  vrk::String source;        // the device node, as given when mounted
  vrk::String superOptions;  // file-system options
};

inline u64 deviceNumber(u32 major, u32 minor) { return (u64(major) << 32) | minor; }

// Every mount of this process's mount namespace, in the table's order (parents first).
vrk::Array<MountEntry> readMountTable();
// The mounts of the block device `device` (or whose source is the node `node`).
vrk::Array<MountEntry> mountsOf(u64 device, const vrk::String& node);

}  // namespace vantor::os

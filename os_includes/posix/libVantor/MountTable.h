// os_includes/posix/libVantor/MountTable.h
//
// This process's mount table as libmount reads it (the kernel's mountinfo, with the
// options mount(8) keeps for itself in utab), shared by the drive listing and the
// volume operations of this folder. Nothing here changes a mount; a table that cannot
// be read reads as empty.
#pragma once
#include <libVantor/Types.h>
#include <vrk/Array.h>
#include <vrk/String.h>

namespace vantor::os {

// One mount, in the form mount(8) takes it back.
struct MountEntry {
  u64 device = 0;            // deviceNumber(major, minor) of the mounted device
  vrk::String root;          // directory of the file system seen at `target` ("/" unless a bind)
  vrk::String target;        // the mount directory
  vrk::String fsType;
  vrk::String source;        // the device node, as given when mounted
  vrk::String options;       // every option: per-mount, file-system and mount(8)'s own ("x-...")
  vrk::String vfsOptions;    // the per-mount options alone: rw/ro, nosuid, nodev, noexec, atime
  vrk::String userOptions;   // mount(8)'s own options alone; may be empty
  vrk::String propagation;   // "private", "shared", "slave", "slave,shared" or "unbindable"
};

inline u64 deviceNumber(u32 major, u32 minor) { return (u64(major) << 32) | minor; }

// Every mount of this process's mount namespace, in the table's order (parents first).
vrk::Array<MountEntry> readMountTable();
// The mounts of the block device `device` (or whose source is the node `node`).
vrk::Array<MountEntry> mountsOf(u64 device, const vrk::String& node);

}  // namespace vantor::os

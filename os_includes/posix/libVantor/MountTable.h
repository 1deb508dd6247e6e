// os_includes/posix/libVantor/MountTable.h
//
// This process's mount table as libmount reads it (the kernel's mountinfo, with the
// options mount(8) keeps for itself in utab), shared by the drive listing and the
// volume operations of this folder, and the swap table. Nothing here changes a mount;
// a table that cannot be read reads as empty, unless the caller asks whether it could.
// The tables are the system's own unless a MountTableOverride lives: then they are read
// from the files it names (a mountinfo or fstab-like file, a swaps file), and a file
// that is missing cannot be read.
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
// The same; false when the table could not be read.
bool readMountTable(vrk::Array<MountEntry>& entries);
// The active swap areas (device nodes and files), as the swap table names them; false
// when the table could not be read.
bool readSwapTable(vrk::Array<vrk::String>& sources);

// Makes the tables come from `mountTable` and `swapTable` while the object lives; the
// ones before come back when it goes. Set it only while no other thread reads them.
class MountTableOverride {
 public:
  MountTableOverride(const vrk::String& mountTable, const vrk::String& swapTable);
  ~MountTableOverride();
  MountTableOverride(const MountTableOverride&) = delete;
  MountTableOverride& operator=(const MountTableOverride&) = delete;

 private:
  const MountTableOverride* previous_;
  vrk::String mountTable_;
  vrk::String swapTable_;
  friend struct TableFiles;
};
// The mounts of the block device `device` (or whose source is the node `node`).
vrk::Array<MountEntry> mountsOf(u64 device, const vrk::String& node);

}  // namespace vantor::os

// libVantor/internal/VolumeOps.h
// What the volume bookkeeping of a drive asks of the system, one system job per call:
// open a volume, lock it, dismount it, unlock it, and give back what a dismount took.
// Declared once here; os_includes/<platform>/libVantor/VolumeOps.cpp implements it.
// The order of the steps, which failure stops what, and the log records belong to the
// caller (Volumes). Nothing here logs or throws; a failed call leaves its reason in
// os::lastSystemError() or in the record it fills.
//
// The two platforms keep volumes off the drive differently:
// - Windows locks a volume through an open handle (FSCTL_LOCK_VOLUME), dismounts it
//   (FSCTL_DISMOUNT_VOLUME) and lets it go by closing the handle; the system mounts it
//   again by itself the moment the lock ends, so the drive's new table must be read
//   before the holds go, and a volume that must not come back is taken offline while
//   it is still held. A dismount records each volume, with where it lay, for the
//   bookkeeping to judge; mounting one back asks nothing of the system.
// - Linux has no forced dismount: a volume is "locked" while we hold an exclusive open
//   of its node (a mounted one is claimed by its file system already), and dismounting
//   unmounts every mount of the drive's volumes, children before parents, then takes the
//   exclusive opens. The mounts taken away are recorded, so that they can be made again
//   as they were.
#pragma once
#include <memory>

#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/SysHost.h>
#include <vrk/Array.h>
#include <vrk/Resource.h>
#include <vrk/String.h>

namespace vantor::os {

// One volume while the bookkeeping holds it.
struct VolumeHold {
  libSysHost::Volume volume;
  vrk::FileHandle handle;  // the platform's claim on the volume; -1 while none is held
  bool locked = false;
};

// How a dismounted volume was mounted; only the platform reads it.
struct MountDetails;

// One mount a dismount took away, with what is needed to judge whether it may come back.
struct UnmountedMount {
  vrk::String source;  // the volume's node, as the mount names it
  vrk::String target;  // where it was mounted
  libSysHost::VolumeExtent extent;
  bool extentKnown = false;
  std::shared_ptr<const MountDetails> details;
};

// A volume that refused to be dismounted: which one, where it is mounted, and why.
struct BusyVolume {
  vrk::String node;
  vrk::String mountPoint;  // empty when it is not mounted
  int systemError = 0;
};

// The volume's mount points: its drive letter as "X:" and the directories it is mounted on.
void mountPointsOf(const libSysHost::Volume& volume, vrk::Array<vrk::String>& mountPoints);
// Whether the volume opens at all (the handle is not kept).
bool volumeOpens(const libSysHost::Volume& volume);
// Takes the volume out of other programs' reach without dismounting it.
bool lockVolume(VolumeHold& hold);
// Ends a lock taken by lockVolume; false when none was held.
bool unlockVolume(VolumeHold& hold);
// Dismounts every held volume of one drive, in the platform's order; each mount taken
// away is appended to `unmounted` as it goes (also when a later volume fails). False,
// with the volume that refused in `busy`, at the first failure.
bool dismountVolumes(vrk::Array<VolumeHold>& holds, vrk::Array<UnmountedMount>& unmounted, BusyVolume& busy);
// Where the node `node` lies now; false when it is gone or the system does not say.
bool currentExtent(const vrk::String& node, libSysHost::VolumeExtent& extent);
// Makes the mount `mount` again as it was. `mountedBack` are the mounts already made
// again (a bind of a subdirectory is made again from one of them).
bool mountAgain(const UnmountedMount& mount, const vrk::Array<UnmountedMount>& mountedBack);
// Lets the system notice volumes that came back.
void volumesChanged();
// Whether the system must be told of a new partition table while the volumes are still
// held (Windows: a volume comes back by itself when its hold ends, and must not come back
// where the old table put it) rather than after the holds are released (Linux: a
// partition held open cannot be changed).
bool tableReadWhileHeld();
// Keeps the dismounted volume `mount` from coming back by itself; `holds` are the holds
// still taken. True where nothing would bring it back anyway.
bool keepUnmounted(const UnmountedMount& mount, vrk::Array<VolumeHold>& holds);
// Drops every hold, in order (this ends the locks); the volumes stay unmounted until the
// system or mountAgain brings them back.
void releaseHolds(vrk::Array<VolumeHold>& holds);

}  // namespace vantor::os

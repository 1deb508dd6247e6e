// os_includes/posix/libVantor/VolumeOps.cpp
//
// Linux side of the volume seam. Linux has no forced dismount, so a volume is kept off
// the drive by an exclusive open of its node (O_EXCL on a block device: the kernel
// refuses it while the volume is mounted or claimed, and refuses mounts and other claims
// while we hold it). A mounted volume is claimed by its file system already, so locking it
// takes nothing; dismounting unmounts every mount of the drive's volumes, children before
// their parents (reverse order of the mount table), each through a libmount context as
// umount(8) does (helpers included, no lazy detach: a busy volume fails with its errno),
// and then takes the exclusive opens. Mounting back is mount(8)'s work again, through a
// libmount context given the recorded source, target, type and options, propagation
// included; a bind of a subdirectory is made again from the volume's whole mount, made
// again already or never taken away (a volume that refused the dismount). A FUSE block
// mount ("fuseblk") names no file system of its own: it comes back as the type libblkid
// found on the volume, so that mount(8)'s helper for that type makes it. EINTR restarts
// an open.
#include <libVantor/internal/VolumeOps.h>

#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>

#include <libVantor/MountTable.h>
#include <libVantor/OpenRetrying.h>

namespace vantor::os {

struct MountDetails {
  MountEntry entry;
  vrk::String fileSystem;  // the type libblkid found on the volume; empty when none
};

namespace {

NativeHandle openNode(const vrk::String& node, bool exclusive) {
  return openRetrying(node.c_str(), O_RDONLY | (exclusive ? O_EXCL : 0));
}

struct ContextFree {
  void operator()(libmnt_context* context) const { mnt_free_context(context); }
};
using MountContext = std::unique_ptr<libmnt_context, ContextFree>;

// Whether the umount(2) or mount(2) call, or the helper run in its place, did its work
// (libmount may fail afterwards on its own bookkeeping: the mount is made all the same).
bool succeeded(libmnt_context* context, int result) {
  if (mnt_context_helper_executed(context)) return mnt_context_get_helper_status(context) == 0;
  return result == 0 || mnt_context_get_status(context) == 1;
}

// The system error behind a failed context: the system call's, or the nearest errno
// when a helper or libmount itself refused.
int failureOf(libmnt_context* context, int result) {
  if (const int error = mnt_context_get_syscall_errno(context)) return error;
  if (result > 0 && result < MNT_ERR_NOFSTAB) return result;
  if (result < 0 && -result < MNT_ERR_NOFSTAB) return -result;
  return mnt_context_helper_executed(context) ? EIO : EINVAL;
}

// Runs mount(8)'s mount of `target` from `source`; fsType may be empty (a bind).
bool mountThroughLibmount(const std::string& source, const vrk::String& target, const std::string& fsType,
                          const std::string& options) {
  const MountContext context(mnt_new_context());
  if (!context || mnt_context_set_source(context.get(), source.c_str()) != 0 ||
      mnt_context_set_target(context.get(), target.c_str()) != 0 ||
      (!fsType.empty() && mnt_context_set_fstype(context.get(), fsType.c_str()) != 0) ||
      mnt_context_set_options(context.get(), options.c_str()) != 0) {
    errno = ENOMEM;
    return false;
  }
  const int result = mnt_context_mount(context.get());
  if (succeeded(context.get(), result)) return true;
  errno = failureOf(context.get(), result);
  return false;
}

// Option strings joined by commas, the empty ones left out.
std::string joined(std::initializer_list<vrk::String> parts) {
  std::string text;
  for (const vrk::String& part : parts) {
    if (part.empty()) continue;
    if (!text.empty()) text += ',';
    text += part.str();
  }
  return text;
}

bool isMounted(const libSysHost::Volume& volume) {
  return !mountsOf(volume.getSystemId(), volume.getOSLocator()).empty();
}

}  // namespace

void mountPointsOf(const libSysHost::Volume& volume, vrk::Array<vrk::String>& mountPoints) {
  char letter = 0;
  if (volume.getDriveLetter(letter)) mountPoints.append(vrk::SprintfFormat("%C:", letter));
  for (const MountEntry& mount : mountsOf(volume.getSystemId(), volume.getOSLocator())) mountPoints.append(mount.target);
}

bool volumeOpens(const libSysHost::Volume& volume) { return vrk::FileHandle(openNode(volume.getOSLocator(), false)).isValid(); }

bool lockVolume(VolumeHold& hold) {
  if (!isMounted(hold.volume)) {
    hold.handle.reset(openNode(hold.volume.getOSLocator(), true));
    if (!hold.handle.isValid()) return false;
  }
  hold.locked = true;
  return true;
}

bool unlockVolume(VolumeHold& hold) {
  if (!hold.locked) {
    errno = EINVAL;
    return false;
  }
  hold.handle.reset();
  hold.locked = false;
  return true;
}

bool dismountVolumes(vrk::Array<VolumeHold>& holds, vrk::Array<UnmountedMount>& unmounted, BusyVolume& busy) {
  // Every mount of every volume of the drive, children before their parents.
  vrk::Array<MountEntry> mounts;
  vrk::Array<libSysHost::Volume> owners;
  for (const MountEntry& entry : readMountTable()) {
    for (const VolumeHold& hold : holds) {
      if (entry.device == hold.volume.getSystemId() || entry.source == hold.volume.getOSLocator()) {
        mounts.append(entry);
        owners.append(hold.volume);
        break;
      }
    }
  }
  for (u32 i = mounts.size(); i > 0; --i) {
    const MountEntry& entry = mounts[i - 1];
    UnmountedMount taken;
    taken.source = entry.source;
    taken.target = entry.target;
    taken.extentKnown = owners[i - 1].getExtent(taken.extent);
    taken.details = std::make_shared<const MountDetails>(MountDetails{entry, owners[i - 1].getFileSystem().type});
    const MountContext context(mnt_new_context());
    if (!context || mnt_context_set_target(context.get(), entry.target.c_str()) != 0) {
      busy = {entry.source, entry.target, ENOMEM};
      return false;
    }
    const int result = mnt_context_umount(context.get());
    if (!succeeded(context.get(), result)) {
      busy = {entry.source, entry.target, failureOf(context.get(), result)};
      return false;
    }
    unmounted.append(std::move(taken));
  }
  for (VolumeHold& hold : holds) {
    if (hold.handle.isValid()) continue;
    hold.handle.reset(openNode(hold.volume.getOSLocator(), true));
    if (!hold.handle.isValid()) {
      busy = {hold.volume.getOSLocator(), vrk::String(), errno};
      return false;
    }
  }
  return true;
}

bool currentExtent(const vrk::String& node, libSysHost::VolumeExtent& extent) {
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  // sysfs counts in 512-byte units; a whole disk has no start of its own.
  const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  u64 start = 0, size = 0;
  std::ifstream startIn(sys + "/start"), sizeIn(sys + "/size");
  startIn >> start;
  if (!(sizeIn >> size)) return false;
  extent = {start * 512, size * 512};
  return true;
}

bool mountAgain(const UnmountedMount& mount, const vrk::Array<UnmountedMount>& mountedBack) {
  if (!mount.details) {
    errno = EINVAL;
    return false;
  }
  const MountEntry& entry = mount.details->entry;
  if (entry.root == "/") {
    if (entry.fsType == "fuseblk" && !mount.details->fileSystem.empty()) {
      // The helper sets the FUSE options itself; it takes the per-mount and mount(8)'s own.
      return mountThroughLibmount(entry.source.str(), entry.target, mount.details->fileSystem.str(),
                                  joined({entry.vfsOptions, entry.userOptions, entry.propagation}));
    }
    return mountThroughLibmount(entry.source.str(), entry.target, entry.fsType.str(),
                                joined({entry.options, entry.propagation}));
  }
  // The bind is made from the volume's whole mount: one made again just now, or one that
  // never went away (the volume that refused to be dismounted).
  vrk::String wholeTarget;
  for (const UnmountedMount& back : mountedBack) {
    if (back.details && back.details->entry.device == entry.device && back.details->entry.root == "/") {
      wholeTarget = back.details->entry.target;
      break;
    }
  }
  if (wholeTarget.empty()) {
    for (const MountEntry& now : readMountTable()) {
      if (now.device == entry.device && now.root == "/") {
        wholeTarget = now.target;
        break;
      }
    }
  }
  if (wholeTarget.empty()) {
    errno = ENOENT;
    return false;
  }
  return mountThroughLibmount(wholeTarget.str() + entry.root.str(), entry.target, std::string(),
                              joined({"bind", entry.vfsOptions, entry.userOptions, entry.propagation}));
}

void volumesChanged() {}

bool tableReadWhileHeld() { return false; }

// Nothing mounts a volume here but mountAgain.
bool keepUnmounted(const UnmountedMount&, vrk::Array<VolumeHold>&) { return true; }

void releaseHolds(vrk::Array<VolumeHold>& holds) { holds.clear(); }

}  // namespace vantor::os

// os_includes/posix/libVantor/VolumeOps.cpp
//
// Linux side of the volume seam. Linux has no forced dismount, so a volume is kept off
// the drive by an exclusive open of its node (O_EXCL on a block device: the kernel
// refuses it while the volume is mounted or claimed, and refuses mounts and other claims
// while we hold it). A mounted volume is claimed by its file system already, so locking it
// takes nothing; dismounting unmounts every mount of the drive's volumes, children before
// their parents (reverse order of the mount table), with umount2 and no lazy detach, and
// then takes the exclusive opens. Mounting back replays mount(2) with the recorded source,
// type and options; a bind of a subdirectory is made again from the whole-volume mount.
// EINTR restarts an open.
#include <libVantor/internal/VolumeOps.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <libVantor/MountTable.h>

namespace vantor::os {

struct MountDetails {
  MountEntry entry;
};

namespace {

NativeHandle openNode(const vrk::String& node, bool exclusive) {
  int fd;
  do {
    fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | (exclusive ? O_EXCL : 0));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::vector<std::string> splitOptions(const std::string& options) {
  std::vector<std::string> parts;
  std::istringstream in(options);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// Per-mount options (mountinfo field 6) as mount(2) flags.
unsigned long mountFlags(const std::string& options) {
  static const std::map<std::string, unsigned long> known = {
      {"ro", MS_RDONLY},         {"nosuid", MS_NOSUID},         {"nodev", MS_NODEV},
      {"noexec", MS_NOEXEC},     {"noatime", MS_NOATIME},       {"nodiratime", MS_NODIRATIME},
      {"relatime", MS_RELATIME}, {"strictatime", MS_STRICTATIME}, {"nosymfollow", MS_NOSYMFOLLOW},
  };
  unsigned long flags = 0;
  for (const std::string& option : splitOptions(options)) {
    const auto it = known.find(option);
    if (it != known.end()) flags |= it->second;
  }
  if (!(flags & (MS_NOATIME | MS_RELATIME))) flags |= MS_STRICTATIME;  // listed as nothing at all
  return flags;
}

// File-system options (after the separator in mountinfo): the generic ones become
// flags, the rest is the data string the file system parses.
std::string superOptionData(const std::string& options, unsigned long& flags) {
  static const std::map<std::string, unsigned long> generic = {
      {"ro", MS_RDONLY}, {"rw", 0}, {"sync", MS_SYNCHRONOUS}, {"dirsync", MS_DIRSYNC},
      {"lazytime", MS_LAZYTIME}, {"mand", MS_MANDLOCK},
  };
  std::string data;
  for (const std::string& option : splitOptions(options)) {
    const auto it = generic.find(option);
    if (it != generic.end()) {
      flags |= it->second;
      continue;
    }
    if (!data.empty()) data += ',';
    data += option;
  }
  return data;
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
    taken.details = std::make_shared<const MountDetails>(MountDetails{entry});
    if (::umount2(entry.target.c_str(), UMOUNT_NOFOLLOW) != 0) {
      busy = {entry.source, entry.target, errno};
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
  unsigned long flags = mountFlags(entry.mountOptions.str());
  if (entry.root == "/") {
    const std::string data = superOptionData(entry.superOptions.str(), flags);
    return ::mount(entry.source.c_str(), entry.target.c_str(), entry.fsType.c_str(), flags,
                   data.empty() ? nullptr : data.c_str()) == 0;
  }
  for (const UnmountedMount& back : mountedBack) {
    if (!back.details) continue;
    const MountEntry& whole = back.details->entry;
    if (whole.device != entry.device || whole.root != "/") continue;
    const std::string from = whole.target.str() + entry.root.str();
    if (::mount(from.c_str(), entry.target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    return ::mount(nullptr, entry.target.c_str(), nullptr, MS_REMOUNT | MS_BIND | flags, nullptr) == 0;
  }
  errno = ENOENT;
  return false;
}

void volumesChanged() {}

}  // namespace vantor::os

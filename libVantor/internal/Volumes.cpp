#include <libVantor/internal/Volumes.h>

#include <utility>

#include <libVantor/DeviceOps.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.WinDiskDevice");
  return l;
}

void logError(const vrk::String& text) {
  if (logger().isEnabled(vrk::LOG_ERROR)) logger().log(vrk::LOG_ERROR, text);
}

}  // namespace

Volumes::Volumes(std::shared_ptr<libSysHost::WindowsDrive> drive_) : drive(std::move(drive_)) {}

Volumes::~Volumes() = default;

bool Volumes::openVolumes() {
  if (!volumeHandles.empty()) return true;
  if (!drive || drive->volumes().empty()) return true;
  mountPoints.clear();
  for (const libSysHost::Volume& volume : drive->volumes()) {
    char letter = 0;
    if (volume.getDriveLetter(letter)) mountPoints.append(vrk::SprintfFormat("%C:", letter));
    for (const libSysHost::MountEntry& mount : volume.getMounts()) mountPoints.append(mount.target);
    // Opening proves the volume is there; the handle is kept only while it holds a lock,
    // so that listing drives never keeps anybody else's partitions busy.
    const vrk::FileHandle probe(os::openVolume(volume.getOSLocator(), false));
    if (!probe.isValid()) {
      logError(vrk::String("133 ") + "Failed to open volume handle on " + "\"" + volume.getOSLocator() + "\"");
      volumeHandles.clear();
      mountPoints.clear();
      return false;
    }
    volumeHandles.append(VolumeHold{volume, vrk::FileHandle(), false});
  }
  return true;
}

void Volumes::releaseLocks() {
  for (VolumeHold& hold : volumeHandles) {
    hold.exclusive.reset();
    hold.locked = false;
  }
}

bool Volumes::lockVolumes() {
  if (locked) return true;
  if (!openVolumes()) return false;
  for (VolumeHold& hold : volumeHandles) {
    if (hold.locked) continue;
    // A mounted volume is claimed by its file system already; dismounting takes it over.
    if (hold.volume.getMounts().empty()) {
      hold.exclusive.reset(os::openVolume(hold.volume.getOSLocator(), true));
      if (!hold.exclusive.isValid()) {
        releaseLocks();
        return false;
      }
    }
    hold.locked = true;
  }
  locked.exchange(true);
  return true;
}

bool Volumes::unlockVolumes() {
  if (!openVolumes()) return false;
  for (VolumeHold& hold : volumeHandles) {
    if (!hold.locked) {
      logError(vrk::String("82 ") + "Unable to lock a volume");
      return false;
    }
    hold.exclusive.reset();
    hold.locked = false;
  }
  locked.exchange(false);
  return true;
}

bool Volumes::dismountVolumes() {
  if (dismounted) return true;
  if (!lockVolumes()) return false;

  // Every mount of every volume of the drive, children before their parents.
  vrk::Array<libSysHost::MountEntry> mounts;
  for (const libSysHost::MountEntry& entry : libSysHost::readMountTable()) {
    for (const VolumeHold& hold : volumeHandles) {
      if (entry.device == hold.volume.getDeviceNumber() || entry.source == hold.volume.getOSLocator()) {
        mounts.append(entry);
        break;
      }
    }
  }
  bool done = true;
  for (u32 i = mounts.size(); done && i > 0; --i) {
    done = os::unmount(mounts[i - 1]);
    if (done) unmounted.append(mounts[i - 1]);
  }
  for (u32 i = 0; done && i < volumeHandles.size(); ++i) {
    VolumeHold& hold = volumeHandles[i];
    if (hold.exclusive.isValid()) continue;
    hold.exclusive.reset(os::openVolume(hold.volume.getOSLocator(), true));
    done = hold.exclusive.isValid();
  }
  if (!done) {
    logError(vrk::String("95 ") + "Unable to dismount a volume, unlocking and remounting all volumes");
    (void)unlockVolumes();
    releaseHandles();
    mountBack();
    dismounted.exchange(false);
    return false;
  }
  dismounted.exchange(true);
  return true;
}

void Volumes::releaseHandles() { volumeHandles.clear(); }

void Volumes::mountBack() {
  vrk::Array<libSysHost::MountEntry> mountedBack;
  for (u32 i = unmounted.size(); i > 0; --i) {
    const libSysHost::MountEntry& entry = unmounted[i - 1];
    if (os::mountAgain(entry, mountedBack)) {
      mountedBack.append(entry);
      continue;
    }
    const int error = os::lastSystemError();
    logError(vrk::String("240 ") + vrk::SprintfFormat("Unable to mount \"%s\" on \"%s\" again (%u)", entry.source.c_str(),
                                                      entry.target.c_str(), static_cast<unsigned>(error)));
  }
  unmounted.clear();
}

}  // namespace vantor

#include <libVantor/internal/Volumes.h>

#include <algorithm>
#include <iterator>
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

// Names the volume that refused, so that the user knows what to close.
void logBusy(const vrk::String& node, const vrk::String& mountPoint, int error) {
  const vrk::String where = mountPoint.empty() ? vrk::String("") : vrk::String(" mounted on \"") + mountPoint + "\"";
  logError(vrk::String("96 ") + "The volume \"" + node + "\"" + where + " is in use and cannot be dismounted (" +
           os::systemErrorText(error) + ")");
}

}  // namespace

Volumes::Volumes(std::shared_ptr<libSysHost::WindowsDrive> drive_) : drive(std::move(drive_)) {}

Volumes::~Volumes() = default;

bool Volumes::holdsAny() const {
  for (const VolumeHold& hold : volumeHandles) {
    if (hold.locked || hold.exclusive.isValid()) return true;
  }
  return false;
}

bool Volumes::openVolumes() {
  if (holdsAny()) return true;
  volumeHandles.clear();
  mountPoints.clear();
  if (!drive) return true;
  // Partitions come and go while a drive is open (a table written by somebody else, a
  // partition registered by hand): list them as they are now.
  drive->update(true);
  if (drive->volumes().empty()) return true;
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
        logBusy(hold.volume.getOSLocator(), "", os::lastSystemError());
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
    const libSysHost::MountEntry& entry = mounts[i - 1];
    // Where the volume lies, read while it is still mounted, so that mountBack can tell
    // whether its node still means the same sectors.
    Unmounted taken{entry, libSysHost::VolumeExtent(), false};
    taken.extentKnown = libSysHost::extentOfDevice(entry.device, taken.extent);
    done = os::unmount(entry);
    if (done) {
      unmounted.append(std::move(taken));
    } else {
      logBusy(entry.source, entry.target, os::lastSystemError());
    }
  }
  for (u32 i = 0; done && i < volumeHandles.size(); ++i) {
    VolumeHold& hold = volumeHandles[i];
    if (hold.exclusive.isValid()) continue;
    hold.exclusive.reset(os::openVolume(hold.volume.getOSLocator(), true));
    done = hold.exclusive.isValid();
    if (!done) logBusy(hold.volume.getOSLocator(), "", os::lastSystemError());
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

void Volumes::noteWritten(u64 firstByte, u64 byteCount) {
  if (byteCount == 0) return;
  u64 first = firstByte, end = firstByte + byteCount;
  auto it = written.upper_bound(first);
  if (it != written.begin() && std::prev(it)->second >= first) --it;  // the range before reaches this one
  while (it != written.end() && it->first <= end) {
    first = std::min(first, it->first);
    end = std::max(end, it->second);
    it = written.erase(it);
  }
  written.emplace(first, end);
}

bool Volumes::wasWritten(const libSysHost::VolumeExtent& extent) const {
  const u64 first = extent.start * 512, end = (extent.start + extent.size) * 512;  // sysfs counts 512-byte units
  auto it = written.upper_bound(first);
  if (it != written.begin() && std::prev(it)->second > first) return true;
  return it != written.end() && it->first < end;
}

void Volumes::mountBack() {
  // Taken out first: an interrupted mountBack must not leave them to be mounted later.
  vrk::Array<Unmounted> pending(std::move(unmounted));
  unmounted.clear();
  vrk::Array<libSysHost::MountEntry> mountedBack;
  for (u32 i = pending.size(); i > 0; --i) {
    const libSysHost::MountEntry& entry = pending[i - 1].entry;
    const bool unknownAndWritten = !pending[i - 1].extentKnown && !written.empty();
    if (unknownAndWritten || (pending[i - 1].extentKnown && wasWritten(pending[i - 1].extent))) {
      logError(vrk::String("243 ") + vrk::SprintfFormat("Not mounting \"%s\" on \"%s\" again: sectors of the volume "
                                                        "were written while it was dismounted",
                                                        entry.source.c_str(), entry.target.c_str()));
      continue;
    }
    libSysHost::VolumeExtent now;
    if (pending[i - 1].extentKnown &&
        (!libSysHost::extentOfNode(entry.source, now) || now != pending[i - 1].extent)) {
      logError(vrk::String("241 ") +
               vrk::SprintfFormat("Not mounting \"%s\" on \"%s\" again: the volume is no longer where it was",
                                  entry.source.c_str(), entry.target.c_str()));
      continue;
    }
    if (os::mountAgain(entry, mountedBack)) {
      mountedBack.append(entry);
      continue;
    }
    const int error = os::lastSystemError();
    logError(vrk::String("240 ") + vrk::SprintfFormat("Unable to mount \"%s\" on \"%s\" again (%u)", entry.source.c_str(),
                                                      entry.target.c_str(), static_cast<unsigned>(error)));
  }
}

}  // namespace vantor

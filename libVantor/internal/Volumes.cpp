#include <libVantor/internal/Volumes.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include <libVantor/internal/DiskHandleOps.h>
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
void logBusy(const os::BusyVolume& busy) {
  const vrk::String where =
      busy.mountPoint.empty() ? vrk::String("") : vrk::String(" mounted on \"") + busy.mountPoint + "\"";
  logError(vrk::String("96 ") + "The volume \"" + busy.node + "\"" + where + " is in use and cannot be dismounted (" +
           os::systemErrorText(busy.systemError) + ")");
}

}  // namespace

Volumes::Volumes(std::shared_ptr<libSysHost::WindowsDrive> drive_) : drive(std::move(drive_)) {}

Volumes::~Volumes() = default;

bool Volumes::holdsAny() const {
  for (const os::VolumeHold& hold : volumeHandles) {
    if (hold.locked || hold.handle.isValid()) return true;
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
  for (const libSysHost::Volume& volume : drive->volumes()) {
    os::mountPointsOf(volume, mountPoints);
    // Opening proves the volume is there; a handle is kept only while it holds a lock,
    // so that listing drives never keeps anybody else's volumes busy.
    if (!os::volumeOpens(volume)) {
      logError(vrk::String("133 ") + "Failed to open volume handle on " + "\"" + volume.getOSLocator() + "\"");
      volumeHandles.clear();
      mountPoints.clear();
      return false;
    }
    volumeHandles.append(os::VolumeHold{volume, vrk::FileHandle(), false});
  }
  return true;
}

void Volumes::releaseLocks() {
  for (os::VolumeHold& hold : volumeHandles) {
    if (hold.locked) (void)os::unlockVolume(hold);
  }
}

bool Volumes::lockVolumes() {
  if (locked) return true;
  if (!openVolumes()) return false;
  for (os::VolumeHold& hold : volumeHandles) {
    if (hold.locked) continue;
    if (!os::lockVolume(hold)) {
      const int error = os::lastSystemError();
      vrk::Array<vrk::String> points;
      os::mountPointsOf(hold.volume, points);
      logBusy({hold.volume.getOSLocator(), points.empty() ? vrk::String() : points[0], error});
      releaseLocks();
      return false;
    }
  }
  locked.exchange(true);
  return true;
}

bool Volumes::unlockVolumes() {
  if (!openVolumes()) return false;
  for (os::VolumeHold& hold : volumeHandles) {
    if (!os::unlockVolume(hold)) {
      logError(vrk::String("82 ") + "Unable to lock a volume");
      return false;
    }
  }
  locked.exchange(false);
  return true;
}

bool Volumes::dismountVolumes() {
  if (dismounted) return true;
  if (!lockVolumes()) return false;
  os::BusyVolume busy;
  if (!os::dismountVolumes(volumeHandles, unmounted, busy)) {
    logBusy(busy);
    logError(vrk::String("95 ") + "Unable to dismount a volume, unlocking and remounting all volumes");
    (void)unlockVolumes();
    releaseHandles();
    mountBack();
    os::volumesChanged();
    dismounted.exchange(false);
    return false;
  }
  dismounted.exchange(true);
  return true;
}

void Volumes::releaseHandles() { os::releaseHolds(volumeHandles); }

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
  const u64 first = extent.firstByte, end = extent.firstByte + extent.byteCount;
  auto it = written.upper_bound(first);
  if (it != written.begin() && std::prev(it)->second > first) return true;
  return it != written.end() && it->first < end;
}

void Volumes::mountBack() {
  // Taken out first: an interrupted mountBack must not leave them to be mounted later.
  vrk::Array<os::UnmountedMount> pending(std::move(unmounted));
  unmounted.clear();
  vrk::Array<os::UnmountedMount> mountedBack;
  for (u32 i = pending.size(); i > 0; --i) {
    const os::UnmountedMount& mount = pending[i - 1];
    const bool unknownAndWritten = !mount.extentKnown && !written.empty();
    if (unknownAndWritten || (mount.extentKnown && wasWritten(mount.extent))) {
      logError(vrk::String("243 ") + vrk::SprintfFormat("Not mounting \"%s\" on \"%s\" again: sectors of the volume "
                                                        "were written while it was dismounted",
                                                        mount.source.c_str(), mount.target.c_str()));
      (void)os::keepUnmounted(mount, volumeHandles);
      continue;
    }
    libSysHost::VolumeExtent now;
    if (mount.extentKnown && (!os::currentExtent(mount.source, now) || now != mount.extent)) {
      logError(vrk::String("241 ") +
               vrk::SprintfFormat("Not mounting \"%s\" on \"%s\" again: the volume is no longer where it was",
                                  mount.source.c_str(), mount.target.c_str()));
      (void)os::keepUnmounted(mount, volumeHandles);
      continue;
    }
    if (os::mountAgain(mount, mountedBack)) {
      mountedBack.append(mount);
      continue;
    }
    const int error = os::lastSystemError();
    logError(vrk::String("240 ") + vrk::SprintfFormat("Unable to mount \"%s\" on \"%s\" again (%u)", mount.source.c_str(),
                                                      mount.target.c_str(), static_cast<unsigned>(error)));
  }
}

}  // namespace vantor

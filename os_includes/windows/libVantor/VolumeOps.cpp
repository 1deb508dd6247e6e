// os_includes/windows/libVantor/VolumeOps.cpp
//
// Windows side of the volume seam, through winApi(). A volume is locked through a handle
// of its own, opened read-write and shared (FSCTL_LOCK_VOLUME: the system refuses while
// somebody has a file open on it, so a refusal for that is tried 20 times, 250 ms apart); the lock is given up with FSCTL_UNLOCK_VOLUME and by
// closing that handle. Dismounting sends FSCTL_DISMOUNT_VOLUME through the locked
// handles, in the drive's order, and keeps them open: the volumes stay off the drive
// until the handles are closed, and the system mounts each again by itself the next time
// anybody looks at it. So the drive's new table is read while the handles are still open
// (tableReadWhileHeld), mounting a volume back asks nothing, and the handles are closed
// through winApi() (the moment a lock ends matters) before the system is told to look
// (GetLogicalDrives). A dismount records each volume with where it lay, so that the
// bookkeeping can judge it; one that must stay off is taken offline through its held
// handle (IOCTL_VOLUME_OFFLINE) and stays so until its disk comes again.
// Mount points are the volume's drive letter, "X:", then every folder it is mounted on,
// without the last backslash.
#include <libVantor/internal/VolumeOps.h>

#include <libVantor/DeviceQueries.h>
#include <libVantor/WinApi.h>
#include <vrk/windows/WideText.h>

namespace vantor::os {

struct MountDetails {};

namespace {

bool isDriveRoot(const std::wstring& path) { return path.size() == 3 && path[1] == L':' && path[2] == L'\\'; }

// Opens the volume as the lock wants it: read-write, others may go on reading and writing.
NativeHandle openVolume(const libSysHost::Volume& volume) {
  return winApi().createFile(vrk::windows::wide(volume.getOSLocator()), GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                             OPEN_EXISTING, 0);
}

// A volume in use refuses the lock until the program holding it lets go: tried for about
// five seconds.
constexpr int kLockTries = 20;
constexpr DWORD kLockPauseMs = 250;

bool isInUse(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool control(NativeHandle handle, DWORD code) {
  DWORD returned = 0;
  return winApi().deviceIoControl(handle, code, nullptr, 0, nullptr, 0, returned);
}

// Closes the handle through the system's stand-in, where a test sees when a lock ends.
void closeHold(vrk::FileHandle& handle) {
  if (handle.isValid()) (void)winApi().closeHandle(handle.release());
}

// Closes the handle without losing the error that made us close it.
void closeKeepingError(vrk::FileHandle& handle) {
  const DWORD error = GetLastError();
  closeHold(handle);
  SetLastError(error);
}

vrk::String firstMountPoint(const libSysHost::Volume& volume) {
  vrk::Array<vrk::String> points;
  mountPointsOf(volume, points);
  return points.empty() ? vrk::String() : points[0];
}

}  // namespace

void mountPointsOf(const libSysHost::Volume& volume, vrk::Array<vrk::String>& mountPoints) {
  char letter = 0;
  if (volume.getDriveLetter(letter)) mountPoints.append(vrk::SprintfFormat("%C:", letter));
  for (const std::wstring& path : winApi().volumePathNames(volumeRootName(vrk::windows::wide(volume.getOSLocator())))) {
    if (isDriveRoot(path)) continue;
    mountPoints.append(vrk::windows::narrow(path.back() == L'\\' ? path.substr(0, path.size() - 1) : path));
  }
}

// Proving the volume is there needs no access rights: opening it read-write would make a
// listing ask what only a lock needs.
bool volumeOpens(const libSysHost::Volume& volume) {
  return openForQuery(vrk::windows::wide(volume.getOSLocator())).isValid();
}

bool lockVolume(VolumeHold& hold) {
  if (!hold.handle.isValid()) hold.handle.reset(openVolume(hold.volume));
  if (!hold.handle.isValid()) return false;
  for (int tried = 1; !control(hold.handle.get(), FSCTL_LOCK_VOLUME); ++tried) {
    if (tried == kLockTries || !isInUse(GetLastError())) {
      closeKeepingError(hold.handle);
      return false;
    }
    winApi().sleep(kLockPauseMs);
  }
  hold.locked = true;
  return true;
}

bool unlockVolume(VolumeHold& hold) {
  if (!hold.locked || !hold.handle.isValid()) {
    SetLastError(ERROR_NOT_LOCKED);
    return false;
  }
  if (!control(hold.handle.get(), FSCTL_UNLOCK_VOLUME)) return false;
  closeHold(hold.handle);
  hold.locked = false;
  return true;
}

bool dismountVolumes(vrk::Array<VolumeHold>& holds, vrk::Array<UnmountedMount>& unmounted, BusyVolume& busy) {
  for (VolumeHold& hold : holds) {
    if (!hold.handle.isValid()) {
      busy = {hold.volume.getOSLocator(), firstMountPoint(hold.volume), ERROR_INVALID_HANDLE};
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    if (!control(hold.handle.get(), FSCTL_DISMOUNT_VOLUME)) {
      const int error = static_cast<int>(GetLastError());
      busy = {hold.volume.getOSLocator(), firstMountPoint(hold.volume), error};
      SetLastError(static_cast<DWORD>(error));
      return false;
    }
    // Named by its mount point, or by itself where it has none.
    const vrk::String point = firstMountPoint(hold.volume);
    UnmountedMount mount{hold.volume.getOSLocator(), point.empty() ? hold.volume.getOSLocator() : point, {}, false, {}};
    mount.extentKnown = currentExtent(mount.source, mount.extent);
    unmounted.append(mount);
  }
  return true;
}

bool currentExtent(const vrk::String& node, libSysHost::VolumeExtent& extent) {
  const vrk::FileHandle handle = openForQuery(vrk::windows::wide(node));
  std::vector<DISK_EXTENT> pieces;
  if (!handle.isValid() || !volumeExtentsOf(handle.get(), pieces) || pieces.size() != 1) return false;
  extent = {static_cast<u64>(pieces[0].StartingOffset.QuadPart), static_cast<u64>(pieces[0].ExtentLength.QuadPart)};
  return true;
}

// The system mounts a volume again by itself once its hold ends: nothing to redo here.
bool mountAgain(const UnmountedMount&, const vrk::Array<UnmountedMount>&) { return true; }

void volumesChanged() { (void)winApi().getLogicalDrives(); }

bool tableReadWhileHeld() { return true; }

bool keepUnmounted(const UnmountedMount& mount, vrk::Array<VolumeHold>& holds) {
  for (VolumeHold& hold : holds) {
    if (hold.handle.isValid() && hold.volume.getOSLocator() == mount.source) {
      return control(hold.handle.get(), IOCTL_VOLUME_OFFLINE);
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

void releaseHolds(vrk::Array<VolumeHold>& holds) {
  for (VolumeHold& hold : holds) closeHold(hold.handle);
  holds.clear();
}

}  // namespace vantor::os

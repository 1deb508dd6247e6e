// os_includes/windows/libVantor/DriveOps.cpp
//
// Windows side of the drive seam, through winApi(). A drive opens read-write, shared
// for reading and writing, uncached (FILE_FLAG_NO_BUFFERING). A medium that refuses
// writes either refuses that open (ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED on a
// read-only device: it is opened again for reading only) or is found by
// IOCTL_DISK_IS_WRITABLE; an empty card-reader slot opens, and answers that query, with
// ERROR_NOT_READY or ERROR_NO_MEDIA_IN_DRIVE. After a table write IOCTL_DISK_UPDATE_PROPERTIES
// makes the system read the drive's table again; it parses the table itself, so the
// layout read by the library is not passed on.
#include <libVantor/internal/DriveOps.h>

#include <windows.h>
#include <winioctl.h>

#include <libVantor/DeviceQueries.h>
#include <libVantor/WinApi.h>
#include <vrk/windows/WideText.h>

namespace vantor::os {
namespace {

bool isNoMedium(DWORD error) { return error == ERROR_NOT_READY || error == ERROR_NO_MEDIA_IN_DRIVE; }

NativeHandle openWith(const std::wstring& name, DWORD access) {
  return winApi().createFile(name, access, kShareReadWrite, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
}

}  // namespace

NativeHandle openDrive(const vrk::String& locator, DriveAccess& access) {
  access = DriveAccess::ReadWrite;
  const std::wstring name = vrk::windows::wide(locator);
  NativeHandle handle = openWith(name, GENERIC_READ | GENERIC_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_WRITE_PROTECT || error == ERROR_ACCESS_DENIED) {
      access = DriveAccess::WriteProtected;
      return openWith(name, GENERIC_READ);
    }
    if (isNoMedium(error)) {
      access = DriveAccess::NoMedium;
      return openWith(name, 0);
    }
    return handle;
  }
  DWORD returned = 0;
  if (!winApi().deviceIoControl(handle, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, returned)) {
    const DWORD error = GetLastError();
    if (error == ERROR_WRITE_PROTECT) access = DriveAccess::WriteProtected;
    if (isNoMedium(error)) access = DriveAccess::NoMedium;
    SetLastError(ERROR_SUCCESS);
  }
  return handle;
}

int probeDrive(const vrk::String& locator, bool& readOnly) {
  readOnly = false;
  const std::wstring name = vrk::windows::wide(locator);
  vrk::FileHandle drive(openWith(name, GENERIC_READ));
  if (!drive.isValid()) {
    const DWORD error = GetLastError();
    if (!isNoMedium(error)) return static_cast<int>(error);
    return 0;  // an empty slot: there is a drive, without its medium
  }
  DWORD returned = 0;
  readOnly = !winApi().deviceIoControl(drive.get(), IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, returned) &&
             GetLastError() == ERROR_WRITE_PROTECT;
  return 0;
}

bool rereadPartitionTable(NativeHandle drive, MbrLayoutKind, const std::vector<MbrPartition>&, u32) {
  DWORD returned = 0;
  return winApi().deviceIoControl(drive, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, returned);
}

}  // namespace vantor::os

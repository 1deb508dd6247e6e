// os_includes/windows/libVantor/DiskHandleOps.cpp
//
// Windows side of the disk seam: SetFilePointerEx, ReadFile, WriteFile, GetFileSizeEx,
// SetEndOfFile, DeviceIoControl(IOCTL_DISK_GET_DRIVE_GEOMETRY), CreateFileW; no uncached
// file handles (a file is moved through the cache). Synchronous
// calls: a transfer is one ReadFile or WriteFile (through winApi()) of the whole request; a
// short one is reported as such, never carried on or retried. The medium is gone on
// ERROR_MEDIA_CHANGED and on the codes of a device pulled out: ERROR_NOT_READY,
// ERROR_NO_MEDIA_IN_DRIVE, ERROR_DEVICE_NOT_CONNECTED and ERROR_NO_SUCH_DEVICE.
#include <libVantor/internal/DiskHandleOps.h>

#include <windows.h>
#include <winioctl.h>

#include <libVantor/WinApi.h>
#include <vrk/windows/WideText.h>

namespace vantor::os {

bool seekTo(NativeHandle h, u64 byteOffset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(byteOffset);
  return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) != 0;
}

bool readOnce(NativeHandle h, void* buffer, u32 byteCount, u32& transferred) {
  DWORD n = 0;
  if (!ReadFile(h, buffer, byteCount, &n, nullptr)) return false;
  transferred = n;
  return true;
}

bool writeOnce(NativeHandle h, const void* buffer, u32 byteCount, u32& transferred) {
  DWORD n = 0;
  if (!winApi().writeFile(h, buffer, byteCount, n)) return false;
  transferred = n;
  return true;
}

bool queryGeometry(NativeHandle h, DiskGeometry& out) {
  DISK_GEOMETRY g{};
  DWORD returned = 0;
  if (!DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr) ||
      returned == 0) {
    return false;
  }
  out.cylinders = static_cast<u64>(g.Cylinders.QuadPart);
  out.tracksPerCylinder = g.TracksPerCylinder;
  out.sectorsPerTrack = g.SectorsPerTrack;
  out.bytesPerSector = g.BytesPerSector;
  return true;
}

bool isMediumGone(int systemError) {
  switch (static_cast<DWORD>(systemError)) {
    case ERROR_MEDIA_CHANGED:
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NO_SUCH_DEVICE:
      return true;
    default:
      return false;
  }
}

int lastSystemError() { return static_cast<int>(GetLastError()); }

vrk::String systemErrorText(int systemError) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(systemError), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                              message.back() == L'.')) {
    message.pop_back();
  }
  if (message.empty()) return vrk::SprintfFormat("system error %u", static_cast<unsigned>(systemError));
  return vrk::windows::narrow(message);
}

NativeHandle openFile(const vrk::String& path, bool create, bool readOnly) {
  // The absolute path, "/" turned into "\", with "\\.\" in front: the name is passed to
  // the device namespace as it is, without the system's own rewriting of names. A path
  // that already starts with "\\" (a device or a network share) is taken as it is.
  std::wstring name = vrk::windows::systemPath(path);
  if (name.rfind(L"\\\\", 0) != 0) name = L"\\\\.\\" + name;
  return CreateFileW(name.c_str(), readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     create ? OPEN_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

bool fileSize(NativeHandle h, u64& size) {
  LARGE_INTEGER s;
  if (!GetFileSizeEx(h, &s)) return false;
  size = static_cast<u64>(s.QuadPart);
  return true;
}

bool setFileSize(NativeHandle h, u64 size) { return seekTo(h, size) && SetEndOfFile(h) != 0; }

// Files are read and written through the system's cache here: there is no uncached
// handle, and no transfer on one.
NativeHandle openFileUncached(NativeHandle, bool) { return INVALID_HANDLE_VALUE; }

bool readAt(NativeHandle, u64, void*, u32, u32& transferred) {
  transferred = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool writeAt(NativeHandle, u64, const void*, u32, u32& transferred) {
  transferred = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool refusesUncached(int) { return false; }

}  // namespace vantor::os

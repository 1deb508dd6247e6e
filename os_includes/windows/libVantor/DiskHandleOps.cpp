// os_includes/windows/libVantor/DiskHandleOps.cpp
//
// Windows side of the disk seam: SetFilePointerEx, ReadFile, WriteFile, GetFileSizeEx,
// SetEndOfFile, DeviceIoControl(IOCTL_DISK_GET_DRIVE_GEOMETRY). Synchronous calls; a short
// transfer is reported as such, never retried.
#include <libVantor/internal/DiskHandleOps.h>

#include <windows.h>
#include <winioctl.h>

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
  if (!WriteFile(h, buffer, byteCount, &n, nullptr)) return false;
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

bool isMediumGone(int systemError) { return systemError == ERROR_MEDIA_CHANGED; }

int lastSystemError() { return static_cast<int>(GetLastError()); }

NativeHandle openFile(const vrk::String& path, bool create) {
  // Paths are used as given: the caller passes an absolute path; "/" becomes "\".
  std::u16string name = vrk::String(path).replace("/", "\\").getUCS2Buffer();
  return CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

bool fileSize(NativeHandle h, u64& size) {
  LARGE_INTEGER s;
  if (!GetFileSizeEx(h, &s)) return false;
  size = static_cast<u64>(s.QuadPart);
  return true;
}

bool setFileSize(NativeHandle h, u64 size) { return seekTo(h, size) && SetEndOfFile(h) != 0; }

}  // namespace vantor::os

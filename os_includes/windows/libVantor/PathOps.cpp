// os_includes/windows/libVantor/PathOps.cpp
//
// Windows side of the path facts: std::filesystem over UTF-16 paths; identities from
// GetFileInformationByHandle (volume serial number and file index); drives
// ("\\.\PhysicalDriveN") asked through WinApi with handles opened for no access at all,
// which read no sector. Windows byte-range locks are mandatory (reads and writes through
// other handles to the locked bytes fail), so a disk file's lock covers one byte far past
// the end of any disk file: it keeps other runs out, and never the library's own
// transfers. No holes are looked for: every span is read.
#include <libVantor/internal/PathOps.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include <vrk/windows/WideText.h>

#include "WinApi.h"

namespace vantor::os {
namespace {

namespace fs = std::filesystem;

const char DRIVE_PREFIX[] = "\\\\.\\PhysicalDrive";
constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;  // byte 0x7FFFFFFF00000000

// The drive number of "\\.\PhysicalDriveN" (also spelled with "/"), or -1.
long driveNumber(const vrk::String& path) {
  std::string name = path.str();
  std::replace(name.begin(), name.end(), '/', '\\');
  const std::size_t prefix = sizeof DRIVE_PREFIX - 1;
  if (name.size() <= prefix || name.size() > prefix + 3) return -1;
  for (std::size_t i = 0; i < prefix; ++i) {
    const auto want = static_cast<unsigned char>(DRIVE_PREFIX[i]);
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(want)) {
      return -1;
    }
  }
  long number = 0;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

// The number of the drive at `path`, or -1 when it is not one that answers.
long presentDrive(const vrk::String& path) {
  const long number = driveNumber(path);
  if (number < 0) return -1;
  const std::wstring node = vrk::windows::wide(vrk::String(DRIVE_PREFIX + std::to_string(number)));
  HANDLE query = winApi().createFile(node, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (query == INVALID_HANDLE_VALUE) return -1;
  winApi().closeHandle(query);
  return number;
}

bool fileId(const vrk::String& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE file = CreateFileW(vrk::windows::systemPath(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

PathKind pathKind(const vrk::String& path, u64& size) {
  size = 0;
  if (driveNumber(path) >= 0) return presentDrive(path) >= 0 ? PathKind::Drive : PathKind::Missing;
  std::error_code ec;
  const fs::path name(vrk::windows::wide(path));
  const fs::file_status status = fs::status(name, ec);
  if (ec || !fs::exists(status)) return PathKind::Missing;
  if (fs::is_regular_file(status)) {
    const std::uintmax_t bytes = fs::file_size(name, ec);
    size = ec ? 0 : static_cast<u64>(bytes);
    return PathKind::Regular;
  }
  return fs::is_directory(status) ? PathKind::Directory : PathKind::Other;
}

bool isSymbolicLink(const vrk::String& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(fs::path(vrk::windows::wide(path)), ec));
}

vrk::String pathIdentity(const vrk::String& path) {
  const long drive = presentDrive(path);
  if (drive >= 0) return "block:" + std::to_string(drive);
  BY_HANDLE_FILE_INFORMATION info{};
  if (fileId(path, info)) {
    const unsigned long long index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return "file:" + std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(index);
  }
  // Names are compared without regard to case, as the file systems of this system do.
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(vrk::windows::wide(path)), ec);
  const fs::path parent = fs::weakly_canonical(absolute.parent_path(), ec);
  std::wstring key = (ec ? absolute.lexically_normal() : (parent / absolute.filename())).wstring();
  CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
  return "missing:" + vrk::windows::narrow(key).str();
}

bool isDrivePath(const vrk::String& path) {
  const std::string& p = path.str();
  return p.size() > 4 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/') && p[2] == '.' &&
         (p[3] == '\\' || p[3] == '/');
}

bool lockDiskFile(vrk::NativeHandle h, bool exclusive, bool& conflict) {
  OVERLAPPED at{};
  at.OffsetHigh = LOCK_OFFSET_HIGH;
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (LockFileEx(h, flags, 0, 1, 0, &at)) return true;
  const DWORD error = GetLastError();
  conflict = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
  return false;
}

bool nextDataSpan(vrk::NativeHandle, u64 at, u64 end, u64& first, u64& last) {
  first = at;
  last = end;
  return at < end;
}

}  // namespace vantor::os

// os_includes/windows/libVantor/FileCommitOps.cpp
//
// Windows side of putting a file in place: CreateFileW with CREATE_NEW for a new name,
// FlushFileBuffers, MoveFileExW with MOVEFILE_WRITE_THROUGH (and
// MOVEFILE_REPLACE_EXISTING when replacing), which returns once the move is on the
// medium, so that the directory needs no sync of its own.
#include <libVantor/internal/FileCommitOps.h>

#include <windows.h>

#include <algorithm>

#include <vrk/windows/WideText.h>

namespace vantor::os {

bool createNewFile(const vrk::String& path, bool& existed) {
  HANDLE file = CreateFileW(vrk::windows::systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  existed = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool writeWholeFile(const vrk::String& path, const void* data, std::size_t size) {
  HANDLE file = CreateFileW(vrk::windows::systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const char* bytes = static_cast<const char*>(data);
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    DWORD written = 0;
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    ok = WriteFile(file, bytes + done, count, &written, nullptr) && written > 0;
    done += written;
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) SetLastError(error);
  return ok;
}

bool syncFile(const vrk::String& path) {
  HANDLE file = CreateFileW(vrk::windows::systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(file) != 0;
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) SetLastError(error);
  return ok;
}

bool moveFile(const vrk::String& from, const vrk::String& to, bool replace) {
  return MoveFileExW(vrk::windows::systemPath(from).c_str(), vrk::windows::systemPath(to).c_str(),
                     MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)) != 0;
}

bool syncDirectoryOf(const vrk::String&) { return true; }

bool removeFile(const vrk::String& path) { return DeleteFileW(vrk::windows::systemPath(path).c_str()) != 0; }

bool fileExists(const vrk::String& path, bool& regular) {
  const DWORD attributes = GetFileAttributesW(vrk::windows::systemPath(path).c_str());
  regular = attributes != INVALID_FILE_ATTRIBUTES &&
            !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
  return attributes != INVALID_FILE_ATTRIBUTES;
}

}  // namespace vantor::os

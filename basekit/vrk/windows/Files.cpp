// Windows files: a read-only file mapping (CreateFileMappingW, MapViewOfFile) for
// MMapFile, which takes no advice here; CreateFileW, WriteFile and FlushFileBuffers for
// OFStream (the two-part write is two WriteFile calls: a gather write wants unbuffered,
// page-aligned pieces); std::filesystem over UTF-16 paths; GetModuleFileNameW for the
// program's directory.
#include <vrk/Files.h>

#include <cstring>

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "WideText.h"

namespace vrk {
namespace {

std::filesystem::path fsPath(const String& path) { return std::filesystem::path(windows::wide(path)); }

String fromFsPath(const std::filesystem::path& path) { return windows::narrow(path.wstring()); }

// An ordinary file on a disk: not a directory, a device, a pipe or a console.
bool isRegularFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// "\\.\..." and "\\?\..." name devices and volumes directly: never a file to write.
bool namesADevice(const std::wstring& path) {
  return path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'.' || path[2] == L'?') &&
         path[3] == L'\\';
}

}  // namespace

MMapFile::MMapFile(const String& path) {
  HANDLE file = CreateFileW(windows::systemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size{};
  if (isRegularFile(file) && GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
      // The view keeps the mapping, and the mapping the file, for as long as it lives.
      if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
        data_ = static_cast<const u8*>(view);
        size_ = static_cast<u64>(size.QuadPart);
      }
      CloseHandle(mapping);
    }
  }
  CloseHandle(file);
}

MMapFile::~MMapFile() {
  if (data_) UnmapViewOfFile(data_);
}

void MMapFile::adviseSequential() const {}

bool MMapFile::copyOut(u64 offset, void* into, std::size_t size) const {
  if (offset > size_ || size_ - offset < size) return false;
  if (size) std::memcpy(into, data_ + offset, size);
  return true;
}

void MMapFile::adviseDone(u64, u64) const {}

void MMapFile::readingAt(u64) const {}

OFStream::OFStream(const String& path) {
  const std::wstring name = windows::systemPath(path);
  if (namesADevice(name)) return;
  // Opened without truncating first, so that anything but a file is refused untouched.
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  if (!isRegularFile(file) || !SetEndOfFile(file)) {
    CloseHandle(file);
    return;
  }
  handle_ = file;
  open_ = true;
}

OFStream::~OFStream() { close(); }

namespace {

// WriteFile until every byte is written; false on a failure or a write that moves nothing.
bool writeAll(HANDLE file, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes, piece, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

}  // namespace

bool OFStream::write(const void* data, std::size_t size) { return write(nullptr, 0, data, size); }

bool OFStream::write(const void* head, std::size_t headSize, const void* data, std::size_t size) {
  if (!open_) return false;
  return writeAll(handle_, head, headSize) && writeAll(handle_, data, size);
}

void OFStream::startWriteback(u64, u64) {}

bool OFStream::sync() { return open_ && FlushFileBuffers(handle_); }

bool OFStream::close() {
  if (!open_) return true;
  open_ = false;
  return CloseHandle(handle_) != 0;
}

bool FileSystem::removeFile(const String& path) {
  std::error_code ec;
  return std::filesystem::remove(fsPath(path), ec);
}

bool FileSystem::exists(const String& path) {
  std::error_code ec;
  return std::filesystem::exists(fsPath(path), ec);
}

String FileSystem::getAbsolutePath(const String& base, const String& path, bool normalize) {
  std::filesystem::path p = fsPath(path);
  // "C:\x", "\\server\share\x" and "\\.\x" are complete; "\x" and "x" hang off `base`.
  if (!(p.has_root_name() && p.has_root_directory())) p = fsPath(base) / p;
  if (normalize) p = p.lexically_normal();
  return fromFsPath(p);
}

String System::getApplicationDirectory() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) {
      std::error_code ec;
      return fromFsPath(std::filesystem::current_path(ec));
    }
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(name.size() * 2);
  }
  return fromFsPath(std::filesystem::path(name).parent_path());
}

}  // namespace vrk

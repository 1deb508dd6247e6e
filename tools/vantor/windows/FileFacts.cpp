// Windows file facts: std::filesystem over UTF-16 paths; identities from
// GetFileInformationByHandle (volume serial number and file index); CreateFileW with
// CREATE_NEW; plain ReadFile for the zero scan.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "BlockDevice.h"
#include "FileFacts.h"
#include "WindowsText.h"

namespace vantor::cli {
namespace {

namespace fs = std::filesystem;

fs::path fsPath(const std::string& path) { return fs::path(wide(path)); }

// An open handle, for the few calls that need one; closed when it goes.
struct Handle {
  HANDLE h;
  explicit Handle(const std::string& path, DWORD access)
      : h(CreateFileW(systemPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

bool fileId(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const Handle file(path, 0);
  return file.valid() && GetFileInformationByHandle(file.h, &info);
}

}  // namespace

FileFacts::Info FileFacts::inspect(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(fsPath(path), ec);
  if (ec || !fs::exists(status)) return {};
  if (fs::is_regular_file(status)) {
    const std::uintmax_t size = fs::file_size(fsPath(path), ec);
    return {Kind::Regular, ec ? 0 : static_cast<std::uint64_t>(size)};
  }
  return {fs::is_directory(status) ? Kind::Directory : Kind::Other, 0};
}

bool FileFacts::isSymbolicLink(const std::string& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(fsPath(path), ec));
}

bool FileFacts::sameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return fileId(a, first) && fileId(b, second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

std::string FileFacts::identity(const std::string& path) {
  if (BlockDevice::isBlockDevice(path)) return "block:" + std::to_string(BlockDevice(path).deviceNumber());
  BY_HANDLE_FILE_INFORMATION info{};
  if (fileId(path, info)) {
    const unsigned long long index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return "file:" + std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(index);
  }
  // Names are compared without regard to case, as the file systems of this system do.
  std::error_code ec;
  const fs::path absolute = fs::absolute(fsPath(path), ec);
  const fs::path parent = fs::weakly_canonical(absolute.parent_path(), ec);
  std::wstring key = (ec ? absolute.lexically_normal() : (parent / absolute.filename())).wstring();
  CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
  return "missing:" + narrow(key);
}

std::string FileFacts::createNew(const std::string& path) {
  HANDLE file = CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lastErrorText();
  CloseHandle(file);
  return std::string();
}

void FileFacts::remove(const std::string& path) { DeleteFileW(systemPath(path).c_str()); }

std::int64_t FileFacts::firstNonZeroByte(const std::string& path, const Spans& spans) {
  const Handle file(path, GENERIC_READ);
  if (!file.valid()) return -1;
  std::vector<char> buffer(1 << 20);
  for (const auto& span : spans) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(span.first);
    if (!SetFilePointerEx(file.h, to, nullptr, FILE_BEGIN)) return -1;
    std::uint64_t at = span.first;
    const std::uint64_t end = span.first + span.second;
    while (at < end) {
      DWORD got = 0;
      const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(end - at, buffer.size()));
      if (!ReadFile(file.h, buffer.data(), wanted, &got, nullptr)) return -1;
      if (got == 0) break;  // the end of the file: what lies past it is no data
      const auto nonZero = std::find_if(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; });
      if (nonZero != buffer.begin() + got) return static_cast<std::int64_t>(at + (nonZero - buffer.begin()));
      at += got;
    }
  }
  return -1;
}

}  // namespace vantor::cli

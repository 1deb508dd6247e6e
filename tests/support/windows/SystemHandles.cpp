// Windows handles: CreateFileW (a directory opens with FILE_FLAG_BACKUP_SEMANTICS).
#include "support/TempDir.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>

namespace vantor::test {

vrk::FileHandle openHandle(const std::string& path, Access access) {
  const std::wstring name = std::filesystem::path(path).wstring();
  const DWORD rights = access == Access::ReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD flags = access == Access::Directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL;
  return vrk::FileHandle(CreateFileW(name.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, flags, nullptr));
}

unsigned systemError(Failure failure) {
  return failure == Failure::ReadOnDirectory ? ERROR_INVALID_FUNCTION : ERROR_ACCESS_DENIED;
}

void setFileSize(const std::string& path, unsigned long long size) {
  // SetEndOfFile: the C library's own resizing stops at sizes far below a large disk's.
  vrk::FileHandle file = openHandle(path, Access::ReadWrite);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!file.isValid() || !SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
    throw std::runtime_error("cannot make " + path + " " + std::to_string(size) + " bytes long");
  }
}

std::vector<std::string> specialFiles(const std::string& dir) { return {"NUL", dir}; }

bool specialFilesIntact(const std::string& dir) { return std::filesystem::is_directory(dir); }

}  // namespace vantor::test

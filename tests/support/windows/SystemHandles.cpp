// Windows handles: CreateFileW (a directory opens with FILE_FLAG_BACKUP_SEMANTICS).
#include "support/SystemHandles.h"

#include <windows.h>

#include <filesystem>

namespace vantor::test {

vrk::FileHandle openHandle(const std::string& path, Access access) {
  const std::wstring name = std::filesystem::path(path).wstring();
  const DWORD rights = access == Access::ReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD flags = access == Access::Directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL;
  return vrk::FileHandle(CreateFileW(name.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, flags, nullptr));
}

unsigned systemError(Failure failure) {
  switch (failure) {
    case Failure::NoHandle:
      return ERROR_INVALID_HANDLE;
    case Failure::WriteOnReadOnly:
      return ERROR_ACCESS_DENIED;
    case Failure::ReadOnDirectory:
      return ERROR_INVALID_FUNCTION;
  }
  return 0;
}

std::vector<std::string> specialFiles(const std::string& dir) { return {"NUL", dir}; }

bool specialFilesIntact(const std::string& dir) { return std::filesystem::is_directory(dir); }

}  // namespace vantor::test

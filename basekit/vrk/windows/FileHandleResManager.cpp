// Windows handles: DuplicateHandle with the same access, CloseHandle, CreateFileW.
// INVALID_HANDLE_VALUE, (HANDLE)-1, is the empty value.
#include <windows.h>

#include <vrk/Resource.h>

#include "WideText.h"

namespace vrk {

NativeHandle FileHandleResManager::invalid() { return INVALID_HANDLE_VALUE; }

bool FileHandleResManager::copy(Handle source, Handle& copy) {
  copy = INVALID_HANDLE_VALUE;
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  copy = duplicate;
  return true;
}

void FileHandleResManager::destroy(Handle handle) {
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
}

NativeHandle FileHandleResManager::open(const String& path, const CreateFileOpenArgs& args) {
  DWORD access = 0;
  if (args.read) access |= GENERIC_READ;
  if (args.write) access |= GENERIC_WRITE;
  // Exclusive: nobody else may have it open, and nobody may open it while we do.
  const DWORD share = args.exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD flags = args.direct ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH : FILE_ATTRIBUTE_NORMAL;
  return CreateFileW(windows::systemPath(path).c_str(), access, share, nullptr,
                     args.create ? OPEN_ALWAYS : OPEN_EXISTING, flags, nullptr);
}

}  // namespace vrk

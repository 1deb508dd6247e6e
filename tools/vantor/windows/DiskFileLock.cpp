// Windows disk file locks: LockFileEx on a handle of the lock's own. Windows byte-range
// locks are mandatory (reads and writes through other handles to the locked bytes fail),
// so the lock covers one byte far past the end of any disk file: it keeps other vantor
// runs out, and never the library's own transfers.
#include <windows.h>

#include <libVantor/VantorException.h>

#include "DiskFileLock.h"
#include "WindowsText.h"

namespace vantor::cli {
namespace {

constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;  // byte 0x7FFFFFFF00000000
constexpr DWORD LOCK_OFFSET_LOW = 0;

}  // namespace

DiskFileLock DiskFileLock::acquire(const std::string& path, bool exclusive) {
  DiskFileLock lock;
  HANDLE file = CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path + ": " + lastErrorText());
  }
  lock.handle_.reset(file);
  OVERLAPPED at{};
  at.Offset = LOCK_OFFSET_LOW;
  at.OffsetHigh = LOCK_OFFSET_HIGH;
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("disk file ") + path + " is locked by another program " +
                                                 (exclusive ? "using" : "writing") +
                                                 " it (another vantor run?); nothing was done");
    }
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot lock disk file ") + path + ": " + errorText(error));
  }
  return lock;
}

}  // namespace vantor::cli

// tools/vantor/DiskFileLock.h
// The advisory lock (flock) a command holds on a disk file for as long as it uses it:
// exclusive for a command that writes the file, shared for one that only reads it, so
// that two runs never write one file at once and none reads a file another is writing.
// The lock lives on a descriptor of its own, opened read-only; the library's own
// descriptor is not involved, and the lock goes when the holder is destroyed. Programs
// that take no lock are not kept out. Move-only; use from one thread.
#pragma once
#include <string>

namespace vantor::cli {

class DiskFileLock {
 public:
  DiskFileLock() = default;
  ~DiskFileLock();
  DiskFileLock(DiskFileLock&& other) noexcept;
  DiskFileLock& operator=(DiskFileLock&& other) noexcept;
  DiskFileLock(const DiskFileLock&) = delete;
  DiskFileLock& operator=(const DiskFileLock&) = delete;

  // Locks the existing file at `path` without waiting. Throws VantorException
  // (ERR_FILE_ACCESS) when the file cannot be opened or another holder has a lock
  // that conflicts.
  static DiskFileLock acquire(const std::string& path, bool exclusive);

 private:
  int fd_ = -1;
};

}  // namespace vantor::cli

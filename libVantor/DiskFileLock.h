// libVantor/DiskFileLock.h
// The advisory lock a host holds on a disk file for as long as it uses it: exclusive for
// a run that writes the file, shared for one that only reads it, so that two runs never
// write one file at once and none reads a file another is writing. The lock lives on a
// handle of its own, opened for reading only; the library's own handles are not involved
// and never kept out, and the lock goes when the holder is destroyed. Programs that take
// no lock are not kept out. Move-only; use from one thread.
#pragma once
#include <string>

#include <libVantor/Export.h>
#include <vrk/Resource.h>

namespace vantor {

class VANTOR_EXPORT DiskFileLock {
 public:
  DiskFileLock() = default;
  DiskFileLock(DiskFileLock&& other) noexcept = default;
  DiskFileLock& operator=(DiskFileLock&& other) noexcept = default;
  DiskFileLock(const DiskFileLock&) = delete;
  DiskFileLock& operator=(const DiskFileLock&) = delete;

  // Locks the existing file at the absolute `path` without waiting. Throws VantorException
  // (ERR_FILE_ACCESS) when the file cannot be opened or another holder has a lock that
  // conflicts.
  static DiskFileLock acquire(const std::string& path, bool exclusive);

  bool isHeld() const { return handle_.isValid(); }

 private:
  vrk::FileHandle handle_;  // closing it ends the lock
};

}  // namespace vantor

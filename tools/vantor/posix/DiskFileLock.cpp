// POSIX disk file locks: flock(2) on a descriptor of the lock's own.
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include <libVantor/VantorException.h>

#include "DiskFileLock.h"

namespace vantor::cli {

DiskFileLock DiskFileLock::acquire(const std::string& path, bool exclusive) {
  vrk::CreateFileOpenArgs readOnly;
  readOnly.write = false;
  DiskFileLock lock;
  lock.handle_.reset(vrk::FileHandleResManager::open(path, readOnly));
  if (!lock.handle_.isValid()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path + ": " + std::strerror(errno));
  }
  int rc;
  do {
    rc = ::flock(lock.handle_.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno == EWOULDBLOCK) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("disk file ") + path + " is locked by another program " +
                                               (exclusive ? "using" : "writing") +
                                               " it (another vantor run?); nothing was done");
  }
  if (rc != 0) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot lock disk file ") + path + ": " + std::strerror(errno));
  }
  return lock;
}

}  // namespace vantor::cli

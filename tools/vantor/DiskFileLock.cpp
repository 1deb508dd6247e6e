#include "DiskFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <libVantor/VantorException.h>

namespace vantor::cli {

DiskFileLock::~DiskFileLock() {
  if (fd_ >= 0) ::close(fd_);
}

DiskFileLock::DiskFileLock(DiskFileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DiskFileLock& DiskFileLock::operator=(DiskFileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DiskFileLock DiskFileLock::acquire(const std::string& path, bool exclusive) {
  DiskFileLock lock;
  lock.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (lock.fd_ < 0) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path + ": " + std::strerror(errno));
  }
  int rc;
  do {
    rc = ::flock(lock.fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
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

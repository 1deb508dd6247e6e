// os_includes/posix/libVantor/PosixApi.cpp
//
// The system behind PosixApi: the C library's calls, as they are.
#include <libVantor/PosixApi.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vantor::os {
namespace {

// The system's own; an override's stand-in while one lives.
std::atomic<PosixApi*> overridden{nullptr};

}  // namespace

int PosixApi::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int PosixApi::close(int fd) { return ::close(fd); }
ssize_t PosixApi::read(int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); }
ssize_t PosixApi::write(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); }
ssize_t PosixApi::pread(int fd, void* buffer, size_t count, off_t offset) { return ::pread(fd, buffer, count, offset); }
ssize_t PosixApi::pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  return ::pwrite(fd, buffer, count, offset);
}
int PosixApi::ioctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int PosixApi::fsync(int fd) { return ::fsync(fd); }
int PosixApi::fdatasync(int fd) { return ::fdatasync(fd); }
int PosixApi::rename(const char* from, const char* to, bool noReplace) {
  if (!noReplace) return ::rename(from, to);
  int rc = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
    rc = ::link(from, to);
    if (rc == 0) (void)::unlink(from);
  }
  return rc;
}
int PosixApi::unlink(const char* path) { return ::unlink(path); }

PosixApi& posixApi() {
  static PosixApi system;
  PosixApi* api = overridden.load();
  return api != nullptr ? *api : system;
}

PosixApiOverride::PosixApiOverride(PosixApi& api) : previous_(overridden.exchange(&api)) {}

PosixApiOverride::~PosixApiOverride() { overridden.store(previous_); }

}  // namespace vantor::os

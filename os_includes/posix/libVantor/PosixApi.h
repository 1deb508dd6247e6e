// os_includes/posix/libVantor/PosixApi.h
// The system calls of the Linux drive layer and of putting a captured image in place,
// one virtual call each, so that the layer's own logic can run against a stand-in of the
// system (a drive that fails, a power cut that loses what was not synced). The base class
// is the system itself: each call does what the system call of the same name does and
// leaves its error in errno; a stand-in overrides the calls it fakes. posixApi() is the
// system unless a PosixApiOverride lives.
// Thread rule: set an override only while no other thread uses the drive layer.
#pragma once
#include <sys/types.h>

namespace vantor::os {

class PosixApi {
 public:
  PosixApi() = default;
  PosixApi(const PosixApi&) = delete;
  PosixApi& operator=(const PosixApi&) = delete;
  virtual ~PosixApi() = default;

  virtual int open(const char* path, int flags, mode_t mode);
  virtual int close(int fd);
  virtual ssize_t read(int fd, void* buffer, size_t count);
  virtual ssize_t write(int fd, const void* buffer, size_t count);
  virtual ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
  virtual ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset);
  virtual int ioctl(int fd, unsigned long request, void* argument);
  virtual int fsync(int fd);
  virtual int fdatasync(int fd);
  // rename(2), or with `noReplace` one that refuses an existing `to` (RENAME_NOREPLACE;
  // a hard link and an unlink where the file system lacks it).
  virtual int rename(const char* from, const char* to, bool noReplace);
  virtual int unlink(const char* path);
};

// The PosixApi the drive layer calls now.
PosixApi& posixApi();

// Makes `api` the one the drive layer calls while the object lives; the one before comes
// back when it goes. Scopes nest.
class PosixApiOverride {
 public:
  explicit PosixApiOverride(PosixApi& api);
  ~PosixApiOverride();
  PosixApiOverride(const PosixApiOverride&) = delete;
  PosixApiOverride& operator=(const PosixApiOverride&) = delete;

 private:
  PosixApi* previous_;
};

}  // namespace vantor::os

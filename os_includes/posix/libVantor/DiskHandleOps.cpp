// os_includes/posix/libVantor/DiskHandleOps.cpp
//
// POSIX side of the disk seam: lseek(2), read(2), write(2), pread(2), pwrite(2), ftruncate(2),
// HDIO_GETGEO; the transfers, the opens and the ioctls through PosixApi. A file's uncached
// transfers are pread(2) and pwrite(2) on a second descriptor opened with O_DIRECT, which
// the file system turns down with EINVAL where it wants another alignment or has none.
// EINTR restarts a call. A transfer carries on after a partial answer (Linux moves at
// most 0x7FFFF000 bytes a call) until it is whole, fails, or meets the end of the medium.
// The end of a file is a short transfer, as Windows reports one on a file; the end of a
// block device, which Linux also answers with 0 bytes, fails the call with EINVAL, as
// Windows fails a transfer past the end of a drive.
#include <libVantor/internal/DiskHandleOps.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <libVantor/OpenRetrying.h>
#include <libVantor/PosixApi.h>

namespace vantor::os {

bool seekTo(NativeHandle h, u64 byteOffset) {
  if (h < 0) {
    errno = EBADF;
    return false;
  }
  return ::lseek(h, static_cast<off_t>(byteOffset), SEEK_SET) == static_cast<off_t>(byteOffset);
}

namespace {

// Linux moves at most this many bytes in one read(2) or write(2) and reports the rest as
// not done; a request of up to 4 GiB is carried on from where the system stopped.
template <class Transfer, class Byte>
bool transferWhole(Transfer transfer, NativeHandle h, Byte* buffer, u32 byteCount, u32& transferred) {
  u32& done = transferred;  // also what a failure leaves behind
  done = 0;
  while (done < byteCount) {
    ssize_t n;
    do {
      n = transfer(h, buffer + done, byteCount - done);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    if (n == 0) {
      struct stat st {};
      if (::fstat(h, &st) == 0 && S_ISBLK(st.st_mode)) {
        errno = EINVAL;
        return false;
      }
      break;  // the end of a file: a short transfer
    }
    done += static_cast<u32>(n);
  }
  return true;
}

}  // namespace

bool readAt(NativeHandle h, u64 byteOffset, void* buffer, u32 byteCount, u32& transferred) {
  char* const start = static_cast<char*>(buffer);
  const auto read = [start, byteOffset](int fd, char* bytes, size_t count) {
    return posixApi().pread(fd, bytes, count, static_cast<off_t>(byteOffset + u64(bytes - start)));
  };
  return transferWhole(read, h, start, byteCount, transferred);
}

bool writeAt(NativeHandle h, u64 byteOffset, const void* buffer, u32 byteCount, u32& transferred) {
  const char* const start = static_cast<const char*>(buffer);
  const auto write = [start, byteOffset](int fd, const char* bytes, size_t count) {
    return posixApi().pwrite(fd, bytes, count, static_cast<off_t>(byteOffset + u64(bytes - start)));
  };
  return transferWhole(write, h, start, byteCount, transferred);
}

bool readOnce(NativeHandle h, void* buffer, u32 byteCount, u32& transferred) {
  const auto read = [](int fd, void* bytes, size_t count) { return posixApi().read(fd, bytes, count); };
  return transferWhole(read, h, static_cast<char*>(buffer), byteCount, transferred);
}

bool writeOnce(NativeHandle h, const void* buffer, u32 byteCount, u32& transferred) {
  const auto write = [](int fd, const void* bytes, size_t count) { return posixApi().write(fd, bytes, count); };
  return transferWhole(write, h, static_cast<const char*>(buffer), byteCount, transferred);
}

bool queryGeometry(NativeHandle h, DiskGeometry& out) {
  if (h < 0) return false;
  struct hd_geometry geo {};  // regular files refuse it with ENOTTY
  if (posixApi().ioctl(h, HDIO_GETGEO, &geo) != 0) return false;
  int logical = 512;
  if (posixApi().ioctl(h, BLKSSZGET, &logical) != 0) logical = 512;
  unsigned long long bytes = 0;
  if (posixApi().ioctl(h, BLKGETSIZE64, &bytes) != 0) return false;
  const u64 perCylinder = u64(geo.heads) * geo.sectors;
  if (perCylinder == 0 || logical <= 0) return false;
  out.tracksPerCylinder = geo.heads;
  out.sectorsPerTrack = geo.sectors;
  out.bytesPerSector = static_cast<u32>(logical);
  out.cylinders = bytes / static_cast<u64>(logical) / perCylinder;  // geo.cylinders is only 16 bits
  return true;
}

bool isMediumGone(int systemError) { return systemError == ENOMEDIUM || systemError == ENXIO || systemError == ENODEV; }

int lastSystemError() { return errno; }

vrk::String systemErrorText(int systemError) { return vrk::String(std::strerror(systemError)); }

NativeHandle openFile(const vrk::String& path, bool create, bool readOnly) {
  const int fd = openRetrying(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | (create ? O_CREAT : 0), 0644);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      posixApi().close(fd);
      errno = EISDIR;
      return -1;
    }
  }
  return fd;
}

NativeHandle openFileUncached(NativeHandle opened, bool readOnly) {
  // Through the process's own link to the descriptor, not the path, which may name
  // another file by now; the inode is compared all the same.
  const std::string self = "/proc/self/fd/" + std::to_string(opened);
  const int fd = openRetrying(self.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_DIRECT);
  struct stat was {}, is {};
  if (fd >= 0 && (::fstat(opened, &was) != 0 || ::fstat(fd, &is) != 0 || was.st_dev != is.st_dev ||
                  was.st_ino != is.st_ino)) {
    posixApi().close(fd);
    return -1;
  }
  return fd;
}

bool refusesUncached(int systemError) { return systemError == EINVAL; }

bool fileSize(NativeHandle h, u64& size) {
  struct stat st {};
  if (::fstat(h, &st) != 0) return false;
  if (S_ISBLK(st.st_mode)) {
    unsigned long long bytes = 0;
    if (posixApi().ioctl(h, BLKGETSIZE64, &bytes) != 0) return false;
    size = bytes;
    return true;
  }
  size = static_cast<u64>(st.st_size);
  return true;
}

bool setFileSize(NativeHandle h, u64 size) {
  struct stat st {};
  if (::fstat(h, &st) == 0 && S_ISBLK(st.st_mode)) {
    u64 current = 0;  // a device cannot change its size: only its own size is "set"
    return fileSize(h, current) && current == size;
  }
  int rc;
  do {
    rc = ::ftruncate(h, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace vantor::os

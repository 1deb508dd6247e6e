// os_includes/posix/libVantor/PathOps.cpp
//
// POSIX side of the path facts: stat(2)/lstat(2), flock(2) on the lock's own descriptor,
// and lseek(2) with SEEK_DATA/SEEK_HOLE so that holes are skipped without reading them.
#include <libVantor/internal/PathOps.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace vantor::os {

PathKind pathKind(const vrk::String& path, u64& size) {
  size = 0;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return PathKind::Missing;
  if (S_ISREG(info.st_mode)) {
    size = static_cast<u64>(info.st_size);
    return PathKind::Regular;
  }
  if (S_ISDIR(info.st_mode)) return PathKind::Directory;
  return S_ISBLK(info.st_mode) ? PathKind::Drive : PathKind::Other;
}

bool isSymbolicLink(const vrk::String& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

vrk::String pathIdentity(const vrk::String& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISBLK(info.st_mode)) return "block:" + std::to_string(info.st_rdev);
    if (S_ISCHR(info.st_mode)) return "char:" + std::to_string(info.st_rdev);
    return "file:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path absolute = fs::absolute(path.str(), ec);
  const fs::path parent = fs::weakly_canonical(absolute.parent_path(), ec);
  return "missing:" + (ec ? absolute.lexically_normal().string() : (parent / absolute.filename()).string());
}

bool isDrivePath(const vrk::String& path) { return path.str().rfind("/dev/", 0) == 0; }

bool lockDiskFile(vrk::NativeHandle h, bool exclusive, bool& conflict) {
  int rc;
  do {
    rc = ::flock(h, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  conflict = rc != 0 && errno == EWOULDBLOCK;
  return rc == 0;
}

bool nextDataSpan(vrk::NativeHandle h, u64 at, u64 end, u64& first, u64& last) {
  off_t data = ::lseek(h, static_cast<off_t>(at), SEEK_DATA);
  if (data < 0 && errno == ENXIO) return false;  // nothing but holes from here on
  if (data < 0) data = static_cast<off_t>(at);     // no hole support: everything is data
  if (static_cast<u64>(data) >= end) return false;
  off_t hole = ::lseek(h, data, SEEK_HOLE);
  first = static_cast<u64>(data);
  last = hole < 0 || static_cast<u64>(hole) > end ? end : static_cast<u64>(hole);
  return true;
}

}  // namespace vantor::os

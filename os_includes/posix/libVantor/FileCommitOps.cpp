// os_includes/posix/libVantor/FileCommitOps.cpp
//
// POSIX side of putting a file in place: open(2) with O_EXCL for a new name, fsync(2) of
// the file and of its directory, rename(2) (RENAME_NOREPLACE unless replacing), all
// through PosixApi so that a test can cut the power between any two of them.
#include <libVantor/internal/FileCommitOps.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <libVantor/OpenRetrying.h>
#include <libVantor/PosixApi.h>

namespace vantor::os {
namespace {

// Runs `use` on a descriptor of `path` opened with `flags`, then closes it; false when
// either fails (errno from the first failure).
template <class Use>
bool withOpen(const vrk::String& path, int flags, Use use) {
  const int fd = openRetrying(path.c_str(), flags);
  if (fd < 0) return false;
  const bool ok = use(fd);
  const int error = errno;
  const bool closed = posixApi().close(fd) == 0;
  if (!ok) errno = error;
  return ok && closed;
}

}  // namespace

bool createNewFile(const vrk::String& path, bool& existed) {
  const int fd = openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);  // the umask applies
  existed = fd < 0 && errno == EEXIST;
  if (fd < 0) return false;
  (void)posixApi().close(fd);
  return true;
}

bool writeWholeFile(const vrk::String& path, const void* data, std::size_t size) {
  return withOpen(path, O_WRONLY | O_TRUNC, [data, size](int fd) {
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = posixApi().pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  });
}

bool syncFile(const vrk::String& path) {
  return withOpen(path, O_RDONLY, [](int fd) { return posixApi().fsync(fd) == 0; });
}

bool moveFile(const vrk::String& from, const vrk::String& to, bool replace) {
  return posixApi().rename(from.c_str(), to.c_str(), !replace) == 0;
}

bool syncDirectoryOf(const vrk::String& path) {
  const std::string& text = path.str();
  const std::size_t slash = text.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
  return withOpen(directory, O_RDONLY | O_DIRECTORY, [](int fd) { return posixApi().fsync(fd) == 0; });
}

bool removeFile(const vrk::String& path) { return posixApi().unlink(path.c_str()) == 0; }

bool fileExists(const vrk::String& path, bool& regular) {
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  regular = exists && S_ISREG(st.st_mode);
  return exists;
}

}  // namespace vantor::os

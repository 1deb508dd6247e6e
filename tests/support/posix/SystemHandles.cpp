// POSIX handles: open(2); a pipe made with mkfifo(3) and a link with symlink(2).
#include "support/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace vantor::test {

vrk::FileHandle openHandle(const std::string& path, Access access) {
  const int flags = access == Access::ReadWrite ? O_RDWR : access == Access::Directory ? O_RDONLY | O_DIRECTORY : O_RDONLY;
  return vrk::FileHandle(::open(path.c_str(), flags | O_CLOEXEC));
}

unsigned systemError(Failure failure) { return failure == Failure::ReadOnDirectory ? EISDIR : EBADF; }

void setFileSize(const std::string& path, unsigned long long size) { std::filesystem::resize_file(path, size); }

std::vector<std::string> specialFiles(const std::string& dir) {
  (void)::mkfifo((dir + "/fifo").c_str(), 0644);
  (void)::symlink("/dev/null", (dir + "/null-link").c_str());
  return {"/dev/null", dir + "/fifo", dir + "/null-link", dir};
}

bool specialFilesIntact(const std::string& dir) {
  struct stat null {}, fifo {}, link {};
  return ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) && ::stat((dir + "/fifo").c_str(), &fifo) == 0 &&
         S_ISFIFO(fifo.st_mode) && ::lstat((dir + "/null-link").c_str(), &link) == 0 && S_ISLNK(link.st_mode);
}

}  // namespace vantor::test

// POSIX file facts: stat(2)/lstat(2), open(2) with O_EXCL, unlink(2), and pread(2) with
// SEEK_DATA/SEEK_HOLE so that holes are skipped without reading them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FileFacts.h"

namespace vantor::cli {

FileFacts::Info FileFacts::inspect(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  if (S_ISREG(info.st_mode)) return {Kind::Regular, static_cast<std::uint64_t>(info.st_size)};
  return {S_ISDIR(info.st_mode) ? Kind::Directory : Kind::Other, 0};
}

bool FileFacts::isSymbolicLink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool FileFacts::sameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::string FileFacts::identity(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISBLK(info.st_mode)) return "block:" + std::to_string(info.st_rdev);
    if (S_ISCHR(info.st_mode)) return "char:" + std::to_string(info.st_rdev);
    return "file:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  const std::filesystem::path parent = std::filesystem::weakly_canonical(absolute.parent_path(), ec);
  return "missing:" + (ec ? absolute.lexically_normal().string() : (parent / absolute.filename()).string());
}

std::string FileFacts::createNew(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return std::string();
}

void FileFacts::remove(const std::string& path) { (void)::unlink(path.c_str()); }

std::int64_t FileFacts::firstNonZeroByte(const std::string& path, const Spans& spans) {
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  const int fd = file.fd;
  if (fd < 0) return -1;
  std::vector<char> buffer(1 << 20);
  for (const auto& span : spans) {
    const off_t end = static_cast<off_t>(span.first + span.second);
    off_t at = static_cast<off_t>(span.first);
    while (at < end) {
      off_t data = ::lseek(fd, at, SEEK_DATA);
      if (data < 0 && errno == ENXIO) break;  // nothing but holes from here on
      if (data < 0) data = at;                  // no hole support: read everything
      if (data >= end) break;
      off_t hole = ::lseek(fd, data, SEEK_HOLE);
      if (hole < 0 || hole > end) hole = end;
      for (at = data; at < hole;) {
        const ssize_t got = ::pread(fd, buffer.data(), std::min<off_t>(hole - at, buffer.size()), at);
        if (got <= 0) return -1;
        const auto nonZero = std::find_if(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; });
        if (nonZero != buffer.begin() + got) return at + (nonZero - buffer.begin());
        at += got;
      }
    }
  }
  return -1;
}

}  // namespace vantor::cli

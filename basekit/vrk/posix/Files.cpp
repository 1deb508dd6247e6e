#include <vrk/Files.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace vrk {

MMapFile::MMapFile(const String& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      data_ = static_cast<const u8*>(p);
      size_ = static_cast<u64>(st.st_size);
    }
  }
  ::close(fd);
}

MMapFile::~MMapFile() {
  if (data_) ::munmap(const_cast<u8*>(data_), static_cast<std::size_t>(size_));
}

OFStream::OFStream(const String& path) {
  // Opened without O_TRUNC first, so that a device is refused before anything happens to it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return;
  }
  file_ = ::fdopen(fd, "wb");
  if (!file_) ::close(fd);
}

OFStream::~OFStream() { close(); }

bool OFStream::write(const void* data, std::size_t size) {
  if (!file_) return false;
  return size == 0 || std::fwrite(data, 1, size, file_) == size;
}

bool OFStream::close() {
  if (!file_) return true;
  const bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok;
}

bool FileSystem::removeFile(const String& path) {
  std::error_code ec;
  return std::filesystem::remove(path.str(), ec);
}

bool FileSystem::exists(const String& path) {
  std::error_code ec;
  return std::filesystem::exists(path.str(), ec);
}

String FileSystem::getAbsolutePath(const String& base, const String& path, bool normalize) {
  std::filesystem::path p(path.str());
  if (p.is_relative()) p = std::filesystem::path(base.str()) / p;
  if (normalize) p = p.lexically_normal();
  return String(p.string());
}

String System::getApplicationDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return String(std::filesystem::current_path(ec).string());
  return String(exe.parent_path().string());
}

}  // namespace vrk

#include <vrk/Files.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
      descriptor_ = fd;
      return;
    }
  }
  ::close(fd);
}

MMapFile::~MMapFile() {
  if (data_) ::munmap(const_cast<u8*>(data_), static_cast<std::size_t>(size_));
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool MMapFile::copyOut(u64 offset, void* into, std::size_t size) const {
  if (offset > size_ || size_ - offset < size) return false;
  u8* out = static_cast<u8*>(into);
  while (size > 0) {
    const ssize_t got = ::pread(descriptor_, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // the file was cut since it was mapped, or cannot be read
    out += got;
    offset += static_cast<u64>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

std::size_t pageSize() {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

void MMapFile::adviseSequential() const {
  if (data_) (void)::madvise(const_cast<u8*>(data_), static_cast<std::size_t>(size_), MADV_SEQUENTIAL);
}

void MMapFile::adviseDone(u64 offset, u64 length) const {
  if (!data_ || offset >= size_) return;
  length = std::min(length, size_ - offset);
  // Only pages wholly inside the range: a page shared with bytes still to be read stays.
  const u64 start = (offset + pageSize() - 1) / pageSize() * pageSize();
  const u64 end = offset + length == size_ ? size_ : (offset + length) / pageSize() * pageSize();
  if (end <= start) return;
  // The mapping is private and never written: dropping its pages loses nothing.
  (void)::madvise(const_cast<u8*>(data_) + start, static_cast<std::size_t>(end - start), MADV_DONTNEED);
}

void MMapFile::readingAt(u64 offset) const {
  if (!data_) return;
  constexpr u64 STEP = 1ull << 20;
  offset = std::min(offset, size_);
  if (offset > releasedTo_ && offset - releasedTo_ >= STEP) {
    adviseDone(releasedTo_, offset - releasedTo_);
    releasedTo_ = offset;
  }
  if (offset < releasedTo_) releasedTo_ = offset / pageSize() * pageSize();
  if (mappedTo_ < offset || mappedTo_ > offset + 2 * STEP) mappedTo_ = offset / pageSize() * pageSize();
  const u64 ahead = std::min(size_, offset + 2 * STEP);
  if (ahead - mappedTo_ < STEP && ahead < size_) return;
  if (ahead > mappedTo_) {
    // Maps the pages in (reading them from the file if need be) in one call rather than
    // a fault each; a system without that advice is only told they are wanted.
#ifndef MADV_POPULATE_READ
    constexpr int MADV_POPULATE_READ = 22;
#endif
    const u64 start = mappedTo_ / pageSize() * pageSize();
    u8* from = const_cast<u8*>(data_) + start;
    const std::size_t length = static_cast<std::size_t>(ahead - start);
    if (::madvise(from, length, MADV_POPULATE_READ) != 0) (void)::madvise(from, length, MADV_WILLNEED);
    mappedTo_ = ahead;
  }
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
  handle_ = fd;
  open_ = true;
}

OFStream::~OFStream() { close(); }

bool OFStream::write(const void* data, std::size_t size) { return write(nullptr, 0, data, size); }

bool OFStream::write(const void* head, std::size_t headSize, const void* data, std::size_t size) {
  if (!open_) return false;
  struct iovec parts[2] = {{const_cast<void*>(head), headSize}, {const_cast<void*>(data), size}};
  struct iovec* next = headSize == 0 ? parts + 1 : parts;
  int count = static_cast<int>(parts + 2 - next);
  // Carried on after a signal or a partial answer until every byte is written.
  while (count > 0) {
    if (next->iov_len == 0) {
      ++next;
      --count;
      continue;
    }
    const ssize_t n = ::writev(handle_, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    std::size_t left = static_cast<std::size_t>(n);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
  return true;
}

void OFStream::startWriteback(u64 offset, u64 size) {
  if (open_) (void)::sync_file_range(handle_, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

bool OFStream::sync() {
  if (!open_) return false;
  int rc;
  do {
    rc = ::fsync(handle_);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool OFStream::close() {
  if (!open_) return true;
  open_ = false;
  return ::close(handle_) == 0;
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

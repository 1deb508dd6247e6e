// POSIX handles: file descriptors; dup(2) with close-on-exec, close(2), open(2).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <vrk/Resource.h>

namespace vrk {

NativeHandle FileHandleResManager::invalid() { return -1; }

bool FileHandleResManager::copy(Handle source, Handle& copy) {
  copy = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
  return copy >= 0;
}

void FileHandleResManager::destroy(Handle handle) {
  if (handle >= 0) ::close(handle);
}

NativeHandle FileHandleResManager::open(const String& path, const CreateFileOpenArgs& args) {
  int flags = O_CLOEXEC;
  flags |= args.read && args.write ? O_RDWR : (args.write ? O_WRONLY : O_RDONLY);
  if (args.create) flags |= O_CREAT;
  if (args.exclusive) flags |= O_EXCL;
#ifdef O_DIRECT
  if (args.direct) flags |= O_DIRECT;
#endif
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace vrk

// tests/support/posix/FaultFs.cpp
// A FUSE file system for failure tests (FailingDriveTest): `FaultFs BACKING MOUNTPOINT` serves one file,
// "disk", holding the bytes of the regular file BACKING. Every read and write of it is
// answered by this process (direct I/O: the kernel keeps no page cache in between), so a
// loop device over it is a real block device whose faults this process decides. Before
// each request it reads the rules in BACKING.faults, one a line, "WHAT OFFSET LENGTH" in
// bytes; a request touching [OFFSET, OFFSET+LENGTH) is then handled so:
//   read, write   a request of that kind fails with EIO
//   corrupt       a read returns its bytes inverted
//   vanish        a write ends this process: the kernel fails every request from then on
// Goes to the background once mounted (the caller's command returns then); unmounting
// the file system ends it.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

int backing = -1;    // the file whose bytes "disk" holds
std::string faults;  // the file of rules

// Whether a rule for `what` touches a byte of the request.
bool ruled(const std::string& what, off_t at, size_t size) {
  std::ifstream rules(faults);
  std::string kind;
  off_t offset = 0, length = 0;
  while (rules >> kind >> offset >> length) {
    if (kind == what && at < offset + length && offset < at + off_t(size)) return true;
  }
  return false;
}

void* fsInit(fuse_conn_info*, fuse_config* config) {
  config->direct_io = 1;  // no page cache: every transfer reaches this process
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  return nullptr;
}

int fsGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    return 0;
  }
  if (std::strcmp(path, "/disk") != 0) return -ENOENT;
  return ::fstat(backing, st) == 0 ? 0 : -errno;
}

int fsRead(const char*, char* buffer, size_t size, off_t at, fuse_file_info*) {
  if (ruled("read", at, size)) return -EIO;
  const ssize_t n = ::pread(backing, buffer, size, at);
  if (n < 0) return -errno;
  if (ruled("corrupt", at, size)) {
    for (ssize_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(~buffer[i]);
  }
  return int(n);
}

int fsWrite(const char*, const char* buffer, size_t size, off_t at, fuse_file_info*) {
  if (ruled("vanish", at, size)) std::_Exit(1);
  if (ruled("write", at, size)) return -EIO;
  const ssize_t n = ::pwrite(backing, buffer, size, at);
  return n < 0 ? -errno : int(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (backing = ::open(argv[1], O_RDWR | O_CLOEXEC)) < 0) {
    std::fprintf(stderr, "usage: %s BACKING-FILE MOUNTPOINT (the backing file opens read-write)\n", argv[0]);
    return 2;
  }
  faults = std::string(argv[1]) + ".faults";
  fuse_operations ops{};
  ops.init = fsInit;
  ops.getattr = fsGetattr;
  ops.read = fsRead;
  ops.write = fsWrite;
  char* fuseArgv[] = {argv[0], argv[2], nullptr};
  return fuse_main(2, fuseArgv, &ops, nullptr);
}

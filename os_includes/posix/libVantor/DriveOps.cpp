// os_includes/posix/libVantor/DriveOps.cpp
//
// Linux side of the drive seam: open(2) with O_DIRECT (read-only after EROFS, O_NONBLOCK
// after ENOMEDIUM; a probe opens read-only), BLKROGET, and the BLKRRPART and BLKPG ioctls. The kernel here may
// have no partition parser of its own, so the table read by the library is told to it
// partition by partition, as `partx -u` does; on a loop device attached without partition
// scanning nothing is added, because the kernel would keep such partitions after the
// device is detached and show them on the next file attached under that number.
// EINTR restarts an open.
#include <libVantor/internal/DriveOps.h>

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <libVantor/OpenRetrying.h>
#include <libVantor/PosixApi.h>
#include <libVantor/PartitionTypes.h>

namespace vantor::os {
namespace {

namespace fs = std::filesystem;

// The sysfs directory of a block device, and whether it is a partition.
bool sysfsDirectory(NativeHandle fd, fs::path& dir, bool& isPartition) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    errno = ENOTBLK;
    return false;
  }
  std::error_code ec;
  dir = fs::canonical(fs::path("/sys/dev/block") /
                          (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))),
                      ec);
  if (ec) return false;
  isPartition = fs::exists(dir / "partition", ec);
  return true;
}

u64 readNumber(const fs::path& path) {
  std::ifstream in(path);
  unsigned long long value = 0;
  in >> value;
  return in ? value : 0;
}

struct PartitionSpan {
  u64 startBytes = 0;
  u64 lengthBytes = 0;
};
using PartitionMap = std::map<int, PartitionSpan>;  // by partition number

// The kernel's view of the table's partitions: an extended entry shows as a tiny
// partition (room for a boot loader, too small for a file system), as the kernel's own
// parser makes it.
PartitionMap wantedPartitions(const std::vector<MbrPartition>& layout, u32 sectorSize) {
  PartitionMap wanted;
  for (const MbrPartition& p : layout) {
    u64 length = p.sectorCount * sectorSize;
    if (partition_type::isExtended(p.type) && p.number <= 4) length = std::min<u64>(length, std::max<u64>(sectorSize, 1024));
    wanted[static_cast<int>(p.number)] = {p.startSector * sectorSize, length};
  }
  return wanted;
}

// Whether the kernel drops the partitions of `diskDir` by itself when the medium goes.
// A loop device attached without partition scanning keeps partitions added by BLKPG
// after it is detached, and hands them to the next file attached under its number.
bool kernelDropsPartitions(const fs::path& diskDir) {
  std::error_code ec;
  if (!fs::exists(diskDir / "loop", ec)) return true;
  std::ifstream in(diskDir / "loop" / "partscan");
  int scans = 0;
  in >> scans;
  return in && scans == 1;
}

PartitionMap partitionsOfKernel(const fs::path& diskDir) {
  PartitionMap found;
  std::error_code ec;
  for (fs::directory_iterator it(diskDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code missing;  // a partition that goes while we look is simply not there
    if (!fs::exists(it->path() / "partition", missing)) continue;
    const int number = static_cast<int>(readNumber(it->path() / "partition"));
    found[number] = {readNumber(it->path() / "start") * 512, readNumber(it->path() / "size") * 512};
  }
  return found;
}

bool partitionRequest(NativeHandle fd, int op, int number, const PartitionSpan& span) {
  struct blkpg_partition partition {};
  partition.start = static_cast<long long>(span.startBytes);
  partition.length = static_cast<long long>(span.lengthBytes);
  partition.pno = number;
  struct blkpg_ioctl_arg arg {};
  arg.op = op;
  arg.datalen = sizeof partition;
  arg.data = &partition;
  return posixApi().ioctl(fd, BLKPG, &arg) == 0;
}

}  // namespace

NativeHandle openDrive(const vrk::String& locator, DriveAccess& access) {
  access = DriveAccess::ReadWrite;
  NativeHandle fd = openRetrying(locator.c_str(), O_RDWR | O_DIRECT);
  if (fd < 0 && errno == EROFS) {
    access = DriveAccess::WriteProtected;
    return openRetrying(locator.c_str(), O_RDONLY | O_DIRECT);
  }
  if (fd < 0 && errno == ENOMEDIUM) {
    access = DriveAccess::NoMedium;
    return openRetrying(locator.c_str(), O_RDONLY | O_DIRECT | O_NONBLOCK);
  }
  int readOnly = 0;
  if (fd >= 0 && posixApi().ioctl(fd, BLKROGET, &readOnly) == 0 && readOnly != 0) access = DriveAccess::WriteProtected;
  return fd;
}

int probeDrive(const vrk::String& locator, bool& readOnly) {
  readOnly = false;
  NativeHandle fd = openRetrying(locator.c_str(), O_RDONLY | O_DIRECT);
  if (fd < 0 && errno == ENOMEDIUM) fd = openRetrying(locator.c_str(), O_RDONLY | O_DIRECT | O_NONBLOCK);
  if (fd < 0) return errno;
  int flag = 0;
  readOnly = ::ioctl(fd, BLKROGET, &flag) == 0 && flag != 0;
  ::close(fd);
  return 0;
}

bool rereadPartitionTable(NativeHandle drive, MbrLayoutKind layoutKind, const std::vector<MbrPartition>& layout,
                          u32 sectorSize) {
  fs::path diskDir;
  bool isPartition = false;
  if (!sysfsDirectory(drive, diskDir, isPartition)) return false;
  if (isPartition) {
    errno = EINVAL;
    return false;
  }
  const bool kernelRead = posixApi().ioctl(drive, BLKRRPART, nullptr) == 0;  // kernels with a parser do it all here
  switch (layoutKind) {
    case MbrLayoutKind::Unreadable:
      errno = EIO;
      return false;
    case MbrLayoutKind::Gpt:
      return kernelRead;
    case MbrLayoutKind::NoTable:
    case MbrLayoutKind::Mbr:
      break;
  }
  const PartitionMap wanted = wantedPartitions(layout, sectorSize);
  const bool mayAdd = kernelDropsPartitions(diskDir);

  const PartitionMap present = partitionsOfKernel(diskDir);
  bool allDone = true;
  int firstError = 0;
  auto note = [&](bool ok) {
    if (!ok && allDone) {
      allDone = false;
      firstError = errno;
    }
  };
  for (const auto& [number, span] : present) {
    const auto it = wanted.find(number);
    if (it == wanted.end() || it->second.startBytes != span.startBytes) {
      note(partitionRequest(drive, BLKPG_DEL_PARTITION, number, span));
    } else if (it->second.lengthBytes != span.lengthBytes) {
      note(partitionRequest(drive, BLKPG_RESIZE_PARTITION, number, it->second));
    }
  }
  const PartitionMap remaining = partitionsOfKernel(diskDir);
  for (const auto& [number, span] : wanted) {
    if (mayAdd && remaining.count(number) == 0) note(partitionRequest(drive, BLKPG_ADD_PARTITION, number, span));
  }
  if (!allDone) errno = firstError;
  return allDone;
}

}  // namespace vantor::os

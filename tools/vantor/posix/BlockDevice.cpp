#include "../BlockDevice.h"

#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include <libVantor/VantorException.h>

#include "SysfsAttribute.h"

namespace vantor::cli {
namespace fs = std::filesystem;
namespace {

bool parseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned major = 0;
  unsigned minor = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  device = makedev(major, minor);
  return true;
}

// The device number a mount source or swap entry stands for: a block node's own
// number, or for a regular file (a swap file) the device that holds it.
bool deviceOfPath(const std::string& path, dev_t& device) {
  struct stat info {};
  if (path.empty() || path[0] != '/' || ::stat(path.c_str(), &info) != 0) return false;
  device = S_ISBLK(info.st_mode) ? info.st_rdev : info.st_dev;
  return true;
}

bool isSystemMountPoint(const std::string& mountPoint) {
  static const char* const systemPoints[] = {"/", "/boot", "/boot/efi", "/usr", "/var"};
  for (const char* point : systemPoints) {
    if (mountPoint == point) return true;
  }
  return false;
}

struct Mount {
  std::string point;
  std::string source;
};

struct TableFree {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterFree {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};
using Table = std::unique_ptr<libmnt_table, TableFree>;

// The mount table (mnt_table_parse_mtab) or the swap table (mnt_table_parse_swaps) as
// libmount reads it; null when it cannot be read.
Table readTable(int (*parse)(libmnt_table*, const char*)) {
  Table table(mnt_new_table());
  if (!table || parse(table.get(), nullptr) != 0) return nullptr;
  return table;
}

// Calls `visit` with each entry of `table`, in the table's order.
template <typename Visit>
void forEachEntry(libmnt_table* table, Visit visit) {
  const std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
  libmnt_fs* fs = nullptr;
  while (iter && mnt_table_next_fs(table, iter.get(), &fs) == 0) visit(fs);
}

std::string text(const char* value) { return value ? value : ""; }

// The mounts whose device, or whose source node, is one of `devices`. `readable` tells
// whether the mount table could be read at all.
std::vector<Mount> mountsOf(const std::set<dev_t>& devices, bool& readable) {
  std::vector<Mount> found;
  const Table table = readTable(mnt_table_parse_mtab);
  readable = static_cast<bool>(table);
  if (!table) return found;
  forEachEntry(table.get(), [&](libmnt_fs* fs) {
    const std::string source = text(mnt_fs_get_source(fs));
    dev_t sourceDevice = 0;
    const bool ours = devices.count(mnt_fs_get_devno(fs)) != 0 ||
                      (deviceOfPath(source, sourceDevice) && devices.count(sourceDevice) != 0);
    if (ours) found.push_back({text(mnt_fs_get_target(fs)), source});
  });
  return found;
}

}  // namespace

bool BlockDevice::isBlockDevice(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

std::string BlockDevice::node() const { return "/dev/" + name_; }

bool BlockDevice::isDevicePath(const std::string& path) { return path.rfind("/dev/", 0) == 0; }

std::string BlockDevice::kernelNameOf(dev_t device) {
  std::error_code ec;
  const fs::path link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  const fs::path real = fs::canonical(link, ec);
  return ec ? std::string() : real.filename().string();
}

BlockDevice::BlockDevice(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::String("\"") + path + "\" is not a block device");
  }
  device_ = info.st_rdev;
  std::error_code ec;
  const fs::path link = "/sys/dev/block/" + std::to_string(major(device_)) + ":" + std::to_string(minor(device_));
  const fs::path real = fs::canonical(link, ec);
  if (ec) {
    name_ = fs::path(path).filename().string();
  } else {
    sysDir_ = real.string();
    name_ = real.filename().string();
  }
}

std::string BlockDevice::backingFile() const {
  if (sysDir_.empty()) return std::string();
  const fs::path dir(sysDir_);
  const fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
  return SysfsAttribute::line(disk / "loop" / "backing_file");
}

std::set<dev_t> BlockDevice::family() const {
  std::set<dev_t> devices{device_};
  if (sysDir_.empty()) return devices;
  std::vector<fs::path> pending{fs::path(sysDir_)};
  std::set<std::string> seen;
  std::error_code ec;
  while (!pending.empty()) {
    const fs::path dir = pending.back();
    pending.pop_back();
    if (!seen.insert(dir.string()).second) continue;
    dev_t device = 0;
    if (parseDeviceNumber(SysfsAttribute::line(dir / "dev"), device)) devices.insert(device);
    // Partitions are subdirectories carrying a "partition" file.
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec) && fs::exists(it->path() / "partition", ec)) pending.push_back(it->path());
    }
    for (fs::directory_iterator it(dir / "holders", ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path holder = fs::canonical(it->path(), ec);
      if (!ec) pending.push_back(holder);
    }
    ec.clear();
  }
  return devices;
}

std::string BlockDevice::systemUse() const {
  const std::set<dev_t> devices = family();
  bool readable = false;
  for (const Mount& mount : mountsOf(devices, readable)) {
    if (isSystemMountPoint(mount.point)) return mount.point + " is mounted from " + mount.source;
  }
  if (!readable) return "the mount table cannot be read, so nothing tells the device is unused";
  std::string swapUse;
  if (const Table swaps = readTable(mnt_table_parse_swaps)) {
    forEachEntry(swaps.get(), [&](libmnt_fs* fs) {
      const std::string file = text(mnt_fs_get_source(fs));
      dev_t device = 0;
      if (swapUse.empty() && deviceOfPath(file, device) && devices.count(device) != 0) swapUse = "swap is active on " + file;
    });
  }
  return swapUse;
}

std::vector<std::string> BlockDevice::mountPoints() const {
  bool readable = false;
  std::vector<std::string> points;
  for (const Mount& mount : mountsOf(family(), readable)) points.push_back(mount.point);
  return points;
}

std::vector<std::string> BlockDevice::loopDevicesBackedBy(const std::string& path) {
  struct stat file {};
  std::vector<std::string> loops;
  if (::stat(path.c_str(), &file) != 0) return loops;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    std::string backing = SysfsAttribute::line(it->path() / "loop" / "backing_file");
    // A backing file removed since shows as "PATH (deleted)": it is not this one.
    struct stat info {};
    if (backing.empty() || ::stat(backing.c_str(), &info) != 0) continue;
    if (info.st_dev == file.st_dev && info.st_ino == file.st_ino) {
      loops.push_back("/dev/" + it->path().filename().string());
    }
  }
  std::sort(loops.begin(), loops.end());
  return loops;
}

}  // namespace vantor::cli

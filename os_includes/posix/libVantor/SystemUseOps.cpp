// os_includes/posix/libVantor/SystemUseOps.cpp
//
// What a drive carries, asked of sysfs (/sys/dev/block/MAJ:MIN, its partition
// subdirectories, holders/ and loop/backing_file) and of the mount and swap tables
// (MountTable.h). A drive's family is the device, its partitions, whatever holds them
// (device mapper, RAID), transitively, and every loop device whose backing file lies in
// a file system of the family, with that loop device's own family. A mount or swap area
// belongs to the family by its device number, or by the device its source node (or,
// for a swap file, the file system holding it) stands for.
#include <libVantor/internal/SystemUseOps.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <libVantor/MountTable.h>

namespace vantor::os {
namespace fs = std::filesystem;
namespace {

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

fs::path sysDirOf(dev_t device) {
  std::error_code ec;
  const fs::path dir = fs::canonical("/sys/dev/block/" + std::to_string(major(device)) + ":" +
                                         std::to_string(minor(device)),
                                     ec);
  return ec ? fs::path() : dir;
}

bool parseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned ma = 0;
  unsigned mi = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &ma, &mi) != 2) return false;
  device = makedev(ma, mi);
  return true;
}

// The device a mount source or swap entry stands for: a block node's own number, or for
// a regular file (a swap file) the device that holds it.
bool deviceOfPath(const std::string& path, dev_t& device) {
  struct stat info {};
  if (path.empty() || path[0] != '/' || ::stat(path.c_str(), &info) != 0) return false;
  device = S_ISBLK(info.st_mode) ? info.st_rdev : info.st_dev;
  return true;
}

// The device, its partitions and their holders, transitively.
void addFamily(dev_t device, std::set<dev_t>& devices) {
  devices.insert(device);
  std::vector<fs::path> pending{sysDirOf(device)};
  std::set<std::string> seen;
  std::error_code ec;
  while (!pending.empty()) {
    const fs::path dir = pending.back();
    pending.pop_back();
    if (dir.empty() || !seen.insert(dir.string()).second) continue;
    dev_t number = 0;
    if (parseDeviceNumber(firstLine(dir / "dev"), number)) devices.insert(number);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec) && fs::exists(it->path() / "partition", ec)) pending.push_back(it->path());
    }
    for (fs::directory_iterator it(dir / "holders", ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path holder = fs::canonical(it->path(), ec);
      if (!ec) pending.push_back(holder);
    }
    ec.clear();
  }
}

// Each bound loop device with the file behind it (a removed file, "PATH (deleted)", stats as nothing).
struct Loop {
  dev_t device;
  std::string node;
  struct stat backing;
};
std::vector<Loop> boundLoops() {
  std::vector<Loop> loops;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string backing = firstLine(it->path() / "loop" / "backing_file");
    Loop loop{};
    if (backing.empty() || ::stat(backing.c_str(), &loop.backing) != 0 ||
        !parseDeviceNumber(firstLine(it->path() / "dev"), loop.device)) {
      continue;
    }
    loop.node = "/dev/" + it->path().filename().string();
    loops.push_back(loop);
  }
  std::sort(loops.begin(), loops.end(), [](const Loop& a, const Loop& b) { return a.node < b.node; });
  return loops;
}

std::set<dev_t> familyOf(dev_t device) {
  std::set<dev_t> devices;
  addFamily(device, devices);
  const std::vector<Loop> loops = boundLoops();
  for (bool grew = true; grew;) {
    grew = false;
    for (const Loop& loop : loops) {
      if (devices.count(loop.device) == 0 && devices.count(loop.backing.st_dev) != 0) {
        addFamily(loop.device, devices);
        grew = true;
      }
    }
  }
  return devices;
}

bool belongs(const MountEntry& mount, const std::set<dev_t>& devices) {
  dev_t source = 0;
  const dev_t number = makedev(static_cast<unsigned>(mount.device >> 32), static_cast<unsigned>(mount.device));
  return (mount.device != 0 && devices.count(number) != 0) ||
         (deviceOfPath(mount.source.str(), source) && devices.count(source) != 0);
}

bool isSystemMountPoint(const vrk::String& point) {
  for (const char* system : {"/", "/boot", "/boot/efi", "/usr", "/var"}) {
    if (point.str() == system) return true;
  }
  return false;
}

}  // namespace

vrk::String systemUseOf(const vrk::String& locator) {
  dev_t device = 0;
  if (!deviceOfPath(locator.str(), device)) return "the device cannot be asked what it holds";
  const std::set<dev_t> devices = familyOf(device);
  vrk::Array<MountEntry> mounts;
  if (!readMountTable(mounts)) return "the mount table cannot be read, so nothing tells the device is unused";
  for (const MountEntry& mount : mounts) {
    if (isSystemMountPoint(mount.target) && belongs(mount, devices)) {
      return mount.target + " is mounted from " + mount.source;
    }
  }
  vrk::Array<vrk::String> swaps;
  if (!readSwapTable(swaps)) return "the swap table cannot be read, so nothing tells the device is unused";
  for (const vrk::String& swap : swaps) {
    dev_t swapDevice = 0;
    if (deviceOfPath(swap.str(), swapDevice) && devices.count(swapDevice) != 0) return "swap is active on " + swap;
  }
  return vrk::String();
}

vrk::String loopDevicesBackedBy(const vrk::String& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return vrk::String();
  const vrk::Array<MountEntry> mounts = readMountTable();
  std::string users;
  for (const Loop& loop : boundLoops()) {
    if (loop.backing.st_dev != file.st_dev || loop.backing.st_ino != file.st_ino) continue;
    users += (users.empty() ? "" : ", ") + loop.node;
    std::set<dev_t> devices;
    addFamily(loop.device, devices);
    bool first = true;
    for (const MountEntry& mount : mounts) {
      if (!belongs(mount, devices)) continue;
      users += (first ? " (mounted at " : ", ") + mount.target.str();
      first = false;
    }
    if (!first) users += ")";
  }
  return users;
}

namespace {

// What a disk occupies: the devices of a drive's family, and the files it is made of (a
// disk file itself, the file behind a loop device).
struct Occupied {
  std::set<dev_t> devices;
  std::vector<std::pair<dev_t, ino_t>> files;
  dev_t holdingDevice = 0;  // for a disk file: the device of the file system it lies in
};

Occupied occupiedBy(const vrk::String& where, bool isFile) {
  Occupied occupied;
  struct stat info {};
  if (::stat(where.c_str(), &info) != 0) return occupied;
  if (isFile || !S_ISBLK(info.st_mode)) {
    occupied.files.emplace_back(info.st_dev, info.st_ino);
    occupied.holdingDevice = info.st_dev;
    return occupied;
  }
  occupied.devices = familyOf(info.st_rdev);
  for (const Loop& loop : boundLoops()) {
    if (occupied.devices.count(loop.device) != 0) occupied.files.emplace_back(loop.backing.st_dev, loop.backing.st_ino);
  }
  return occupied;
}

bool overlap(const Occupied& a, const Occupied& b) {
  for (const auto& file : a.files) {
    if (std::find(b.files.begin(), b.files.end(), file) != b.files.end()) return true;
  }
  for (const dev_t device : a.devices) {
    if (b.devices.count(device) != 0) return true;
  }
  return (a.holdingDevice != 0 && b.devices.count(a.holdingDevice) != 0) ||
         (b.holdingDevice != 0 && a.devices.count(b.holdingDevice) != 0);
}

}  // namespace

bool shareMedium(const vrk::String& a, bool aIsFile, const vrk::String& b, bool bIsFile) {
  return overlap(occupiedBy(a, aIsFile), occupiedBy(b, bIsFile));
}

Overlap overlapOf(const vrk::String& file, const vrk::String& locator, bool isFile) {
  struct stat image {};
  struct stat target {};
  if (::stat(file.c_str(), &image) != 0 || ::stat(locator.c_str(), &target) != 0) return Overlap::None;
  if (image.st_dev == target.st_dev && image.st_ino == target.st_ino) return Overlap::SameFile;
  if (isFile || !S_ISBLK(target.st_mode)) return Overlap::None;
  if (S_ISBLK(image.st_mode)) return image.st_rdev == target.st_rdev ? Overlap::SameFile : Overlap::None;
  // The file behind a loop device, or behind the loop device a partition is of.
  const fs::path dir = sysDirOf(target.st_rdev);
  std::error_code ec;
  const fs::path disk = !dir.empty() && fs::exists(dir / "partition", ec) ? dir.parent_path() : dir;
  struct stat backing {};
  const std::string backingPath = disk.empty() ? std::string() : firstLine(disk / "loop" / "backing_file");
  if (!backingPath.empty() && ::stat(backingPath.c_str(), &backing) == 0 && backing.st_dev == image.st_dev &&
      backing.st_ino == image.st_ino) {
    return Overlap::BehindLoop;
  }
  return familyOf(target.st_rdev).count(image.st_dev) != 0 ? Overlap::OnItsVolumes : Overlap::None;
}

}  // namespace vantor::os

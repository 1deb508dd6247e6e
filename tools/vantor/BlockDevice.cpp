#include "BlockDevice.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <libVantor/VantorException.h>

namespace vantor::cli {
namespace fs = std::filesystem;
namespace {

std::string readFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\t')) line.pop_back();
  return line;
}

bool parseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned major = 0;
  unsigned minor = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  device = makedev(major, minor);
  return true;
}

// Mount tables escape blanks, tabs, newlines and backslashes as \ooo.
std::string decodeOctalEscapes(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
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

}  // namespace

bool BlockDevice::isBlockDevice(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

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

std::string BlockDevice::description() const {
  if (sysDir_.empty()) return name_;
  const fs::path dir(sysDir_);
  const std::string backing = readFirstLine(dir / "loop" / "backing_file");
  if (!backing.empty()) return name_ + ": " + backing;
  // A partition's identity is its disk's.
  const fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
  std::string what = readFirstLine(disk / "device" / "vendor");
  const std::string model = readFirstLine(disk / "device" / "model");
  if (!model.empty()) what += (what.empty() ? "" : " ") + model;
  if (what.empty()) what = readFirstLine(disk / "device" / "name");  // memory cards
  return what.empty() ? name_ : name_ + ": " + what;
}

std::string BlockDevice::backingFile() const {
  if (sysDir_.empty()) return std::string();
  const fs::path dir(sysDir_);
  const fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
  return readFirstLine(disk / "loop" / "backing_file");
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
    if (parseDeviceNumber(readFirstLine(dir / "dev"), device)) devices.insert(device);
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
  std::ifstream mounts("/proc/self/mountinfo");
  if (!mounts) return "the mount table /proc/self/mountinfo cannot be read, so nothing tells the device is unused";
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before;
    std::string field;
    while (fields >> field && field != "-") before.push_back(field);
    std::string fsType;
    std::string source;
    fields >> fsType >> source;
    if (before.size() < 5) continue;
    const std::string mountPoint = decodeOctalEscapes(before[4]);
    if (!isSystemMountPoint(mountPoint)) continue;
    dev_t device = 0;
    bool ours = parseDeviceNumber(before[2], device) && devices.count(device) != 0;
    dev_t sourceDevice = 0;
    if (!ours && deviceOfPath(decodeOctalEscapes(source), sourceDevice)) ours = devices.count(sourceDevice) != 0;
    if (ours) return mountPoint + " is mounted from " + decodeOctalEscapes(source);
  }
  std::ifstream swaps("/proc/swaps");
  std::getline(swaps, line);  // the column titles
  while (std::getline(swaps, line)) {
    std::istringstream fields(line);
    std::string file;
    fields >> file;
    file = decodeOctalEscapes(file);
    dev_t device = 0;
    if (deviceOfPath(file, device) && devices.count(device) != 0) return "swap is active on " + file;
  }
  return std::string();
}

}  // namespace vantor::cli

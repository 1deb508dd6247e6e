#include "../BlockDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include <libVantor/VantorException.h>

#include "SysfsAttribute.h"

namespace vantor::cli {
namespace fs = std::filesystem;

bool BlockDevice::isBlockDevice(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

std::string BlockDevice::node() const { return "/dev/" + name_; }

bool BlockDevice::isDevicePath(const std::string& path) { return path.rfind("/dev/", 0) == 0; }

std::string BlockDevice::openError(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return std::string();
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
  const std::string backing = SysfsAttribute::line(dir / "loop" / "backing_file");
  if (!backing.empty()) return name_ + ": " + backing;
  // A partition's identity is its disk's.
  const fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
  std::string what = SysfsAttribute::line(disk / "device" / "vendor");
  if (what.rfind("0x", 0) == 0) what.clear();  // a numeric bus vendor id names nothing
  const std::string model = SysfsAttribute::line(disk / "device" / "model");
  if (!model.empty()) what += (what.empty() ? "" : " ") + model;
  if (what.empty()) what = SysfsAttribute::line(disk / "device" / "name");  // memory cards
  return what.empty() ? name_ : name_ + ": " + what;
}

std::string BlockDevice::backingFile() const {
  if (sysDir_.empty()) return std::string();
  const fs::path dir(sysDir_);
  const fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
  return SysfsAttribute::line(disk / "loop" / "backing_file");
}

BlockDevice::Kind BlockDevice::kind() const {
  if (sysDir_.empty()) return Kind::Other;
  const fs::path dir(sysDir_);
  const auto startsWith = [this](const char* prefix) { return name_.rfind(prefix, 0) == 0; };
  if (startsWith("loop")) return backingFile().empty() ? Kind::Other : Kind::Virtual;
  if (startsWith("nbd")) return sizeBytes() == 0 ? Kind::Other : Kind::Virtual;
  for (const char* other : {"ram", "zram", "dm-", "md", "sr", "fd"}) {
    if (startsWith(other)) return Kind::Other;
  }
  if (startsWith("mmcblk")) {
    const bool area = name_.find("boot") != std::string::npos || name_.find("rpmb") != std::string::npos;
    return area ? Kind::Other : Kind::Card;
  }
  if (sysDir_.find("/usb") != std::string::npos) return Kind::Usb;
  return sysDir_.rfind("/sys/devices/virtual/", 0) == 0 ? Kind::Other : Kind::Internal;
}

std::uint64_t BlockDevice::sizeBytes() const {
  if (sysDir_.empty()) return 0;
  // sysfs counts in 512-byte units whatever the sector size.
  return SysfsAttribute::number(fs::path(sysDir_) / "size") * 512;
}

std::uint32_t BlockDevice::logicalSectorSize() const {
  if (sysDir_.empty()) return 0;
  return static_cast<std::uint32_t>(SysfsAttribute::number(fs::path(sysDir_) / "queue" / "logical_block_size"));
}

std::vector<BlockDevice> BlockDevice::disks() {
  std::vector<BlockDevice> found;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string node = "/dev/" + it->path().filename().string();
    if (isBlockDevice(node)) found.emplace_back(node);
  }
  std::sort(found.begin(), found.end(),
            [](const BlockDevice& a, const BlockDevice& b) { return a.device_ < b.device_; });
  return found;
}

}  // namespace vantor::cli

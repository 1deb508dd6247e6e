#include "BlockDevice.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

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

}  // namespace vantor::cli

// Windows drives: "\\.\PhysicalDriveN", asked with handles opened for no access at all
// (queries that read no sector); the drive is only named and found here.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include <libVantor/VantorException.h>

#include "BlockDevice.h"
#include "WindowsText.h"

namespace vantor::cli {
namespace {

const char PREFIX[] = "\\\\.\\PhysicalDrive";

// The drive number of "\\.\PhysicalDriveN" (also spelled with "/"), or -1.
long driveNumber(const std::string& path) {
  std::string name = path;
  std::replace(name.begin(), name.end(), '/', '\\');
  const std::size_t prefix = sizeof PREFIX - 1;
  if (name.size() <= prefix || name.size() > prefix + 3) return -1;
  for (std::size_t i = 0; i < prefix; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(PREFIX[i]))) {
      return -1;
    }
  }
  long number = 0;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

std::string pathOf(dev_t number) { return PREFIX + std::to_string(number); }

struct QueryHandle {
  HANDLE h;
  explicit QueryHandle(const std::wstring& path)
      : h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~QueryHandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  QueryHandle(const QueryHandle&) = delete;
  QueryHandle& operator=(const QueryHandle&) = delete;
  bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

}  // namespace

std::string BlockDevice::node() const { return pathOf(device_); }

bool BlockDevice::isDevicePath(const std::string& path) {
  return path.size() > 4 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
         path[2] == '.' && (path[3] == '\\' || path[3] == '/');
}

bool BlockDevice::isBlockDevice(const std::string& path) {
  const long number = driveNumber(path);
  return number >= 0 && QueryHandle(wide(pathOf(static_cast<dev_t>(number)))).valid();
}

std::string BlockDevice::kernelNameOf(dev_t device) { return "PhysicalDrive" + std::to_string(device); }

BlockDevice::BlockDevice(const std::string& path) {
  const long number = driveNumber(path);
  if (number < 0 || !QueryHandle(wide(pathOf(static_cast<dev_t>(number)))).valid()) {
    throw VantorException(ERR_DISK_ACCESS, vrk::String("\"") + path + "\" is not a drive");
  }
  device_ = static_cast<dev_t>(number);
  name_ = kernelNameOf(device_);
}

std::string BlockDevice::backingFile() const { return std::string(); }

}  // namespace vantor::cli

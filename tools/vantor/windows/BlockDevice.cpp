// Windows drives: "\\.\PhysicalDriveN", asked with handles opened for no access at all
// (queries that read no sector): IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS for which drives a
// lettered volume lies on.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include <libVantor/VantorException.h>

#include "../BlockDevice.h"
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

// The lettered volumes ("C:") that lie on drive `number`, or false when a volume could
// not be asked.
bool volumesOn(dev_t number, std::vector<std::string>& letters) {
  bool complete = true;
  const DWORD present = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((present & (1u << i)) == 0) continue;
    const std::wstring root = std::wstring(1, wchar_t(L'A' + i)) + L":\\";
    if (GetDriveTypeW(root.c_str()) != DRIVE_FIXED && GetDriveTypeW(root.c_str()) != DRIVE_REMOVABLE) continue;
    const QueryHandle volume(L"\\\\.\\" + root.substr(0, 2));
    std::vector<char> buffer(sizeof(VOLUME_DISK_EXTENTS) + 16 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    if (!volume.valid() || !DeviceIoControl(volume.h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                            buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
      complete = false;
      continue;
    }
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    for (DWORD e = 0; e < extents->NumberOfDiskExtents && e < 17; ++e) {
      if (extents->Extents[e].DiskNumber == number) {
        letters.push_back(narrow(root.substr(0, 2)));
        break;
      }
    }
  }
  return complete;
}

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

std::string BlockDevice::systemUse() const {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length < 2 || folder[1] != L':') return "the system's folder lies on no lettered volume, so nothing tells the drive is unused";
  const std::string system = narrow(std::wstring(folder, 2));
  std::vector<std::string> letters;
  const bool complete = volumesOn(device_, letters);
  for (const std::string& letter : letters) {
    if (_stricmp(letter.c_str(), system.c_str()) == 0) return system + " (the system volume) is on it";
  }
  if (!complete) return "the volumes of this machine cannot all be asked which drive they lie on, so nothing tells the drive is unused";
  return std::string();
}

std::string BlockDevice::backingFile() const { return std::string(); }

std::set<dev_t> BlockDevice::family() const { return {device_}; }

std::vector<std::string> BlockDevice::mountPoints() const {
  std::vector<std::string> letters;
  (void)volumesOn(device_, letters);
  return letters;
}

std::vector<std::string> BlockDevice::loopDevicesBackedBy(const std::string&) { return {}; }

}  // namespace vantor::cli

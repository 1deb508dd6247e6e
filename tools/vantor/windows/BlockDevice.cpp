// Windows drives: "\\.\PhysicalDriveN", asked with handles opened for no access at all
// (queries that read no sector): IOCTL_STORAGE_QUERY_PROPERTY for the product and the bus,
// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX for the size.
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

constexpr unsigned MAX_DRIVES = 64;
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

// The device descriptor of a drive (product, bus), or false.
bool descriptor(dev_t number, std::vector<char>& buffer) {
  const QueryHandle drive(wide(pathOf(number)));
  if (!drive.valid()) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  buffer.assign(1024, 0);
  DWORD returned = 0;
  return DeviceIoControl(drive.h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr) &&
         returned >= sizeof(STORAGE_DEVICE_DESCRIPTOR);
}

std::string descriptorText(const std::vector<char>& buffer, DWORD offset) {
  if (offset == 0 || offset >= buffer.size()) return std::string();
  std::string text(buffer.data() + offset, strnlen(buffer.data() + offset, buffer.size() - offset));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  return text;
}

// The drive's geometry and size; false when the drive does not answer.
bool geometryOf(const std::string& path, DISK_GEOMETRY_EX& geometry) {
  const QueryHandle drive(wide(path));
  DWORD returned = 0;
  return drive.valid() && DeviceIoControl(drive.h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                                          sizeof geometry, &returned, nullptr);
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

std::string BlockDevice::openError(const std::string& node) {
  HANDLE drive = CreateFileW(systemPath(node).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) return lastErrorText();
  CloseHandle(drive);
  return std::string();
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

std::string BlockDevice::description() const {
  std::vector<char> buffer;
  if (!descriptor(device_, buffer)) return name_;
  const auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
  std::string what = descriptorText(buffer, d->VendorIdOffset);
  const std::string product = descriptorText(buffer, d->ProductIdOffset);
  if (!product.empty()) what += (what.empty() ? "" : " ") + product;
  return what.empty() ? name_ : name_ + ": " + what;
}

std::string BlockDevice::backingFile() const { return std::string(); }

BlockDevice::Kind BlockDevice::kind() const {
  std::vector<char> buffer;
  if (!descriptor(device_, buffer)) return Kind::Internal;
  switch (reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.data())->BusType) {
    case BusTypeUsb:
      return Kind::Usb;
    case BusTypeSd:
    case BusTypeMmc:
      return Kind::Card;
    case BusTypeVirtual:
    case BusTypeFileBackedVirtual:
    case BusTypeSpaces:
      return Kind::Virtual;
    default:
      return Kind::Internal;
  }
}

std::uint64_t BlockDevice::sizeBytes() const {
  DISK_GEOMETRY_EX geometry{};
  return geometryOf(pathOf(device_), geometry) ? static_cast<std::uint64_t>(geometry.DiskSize.QuadPart) : 0;
}

std::uint32_t BlockDevice::logicalSectorSize() const {
  DISK_GEOMETRY_EX geometry{};
  return geometryOf(pathOf(device_), geometry) ? geometry.Geometry.BytesPerSector : 0;
}

std::vector<BlockDevice> BlockDevice::disks() {
  std::vector<BlockDevice> found;
  for (unsigned number = 0; number < MAX_DRIVES; ++number) {
    if (QueryHandle(wide(pathOf(number))).valid()) found.emplace_back(pathOf(number));
  }
  return found;
}

}  // namespace vantor::cli

// os_includes/posix/libVantor/SysHost.cpp
//
// Linux device library: sysfs for the device list, types, names, partitions and
// removable flags; /proc/self/mountinfo for mounts; BLKGETSIZE64 and BLKSSZGET for sizes.
#include <libVantor/SysHost.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <vrk/Files.h>

namespace libSysHost {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, blanks trimmed; empty when it cannot be read.
std::string readAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = line.find_last_not_of(" \t\r\n");
  return line.substr(first, last - first + 1);
}

// A whole unsigned number in `base`; false (and `value` untouched) when `text` is anything else.
bool parseNumber(const std::string& text, u64& value, int base = 10) {
  u64 parsed = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, parsed, base);
  if (text.empty() || result.ec != std::errc() || result.ptr != end) return false;
  value = parsed;
  return true;
}

bool parseDeviceNumber(const std::string& text, u64& device) {
  unsigned major = 0, minor = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  device = makeDeviceNumber(major, minor);
  return true;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "loop2" before "loop10": names compare by their letters, then by the number that follows.
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      const std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> blockDeviceNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), naturalLess);
  return names;
}

bool resolvesThroughUsb(const fs::path& sysPath) {
  std::error_code ec;
  const std::string real = fs::canonical(sysPath, ec).string();
  return !ec && real.find("/usb") != std::string::npos;
}

bool isVirtualDevice(const fs::path& sysPath) {
  std::error_code ec;
  const std::string real = fs::canonical(sysPath, ec).string();
  return ec || startsWith(real, "/sys/devices/virtual/");
}

std::string capacityText(const fs::path& sysPath) {
  u64 sectors = 0;  // always in 512-byte units
  if (!parseNumber(readAttribute(sysPath / "size"), sectors)) return std::string();
  const double bytes = static_cast<double>(sectors) * 512.0;
  return vrk::NonDiscreteMeasurement(bytes).toString(1).str();
}

std::string withCapacity(const std::string& what, const fs::path& sysPath) {
  const std::string capacity = capacityText(sysPath);
  return capacity.empty() ? what : what + " (" + capacity + ")";
}

// Vendor and model as sysfs gives them (numeric PCI vendor ids are left out).
std::string vendorAndModel(const fs::path& sysPath) {
  std::string vendor = readAttribute(sysPath / "device" / "vendor");
  if (startsWith(vendor, "0x")) vendor.clear();
  std::string model = readAttribute(sysPath / "device" / "model");
  if (model.empty()) model = readAttribute(sysPath / "device" / "name");  // memory cards
  if (vendor.empty()) return model;
  return model.empty() ? vendor : vendor + " " + model;
}

std::string decodeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    u64 code = 0;
    if (field[i] == '\\' && i + 3 < field.size() && parseNumber(field.substr(i + 1, 3), code, 8) && code < 256) {
      out += static_cast<char>(code);
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool isBlockDevice(int fd, struct stat& st) { return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode); }

}  // namespace

vrk::Array<MountEntry> readMountTable() {
  vrk::Array<MountEntry> table;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before;
    std::string field;
    while (fields >> field && field != "-") before.push_back(field);
    std::string fsType, source, superOptions;
    fields >> fsType >> source >> superOptions;
    if (before.size() < 6 || fsType.empty()) continue;
    MountEntry entry;
    u64 id = 0;
    if (!parseNumber(before[0], id) || !parseDeviceNumber(before[2], entry.device)) continue;
    entry.id = static_cast<u32>(id);
    entry.root = decodeMountField(before[3]);
    entry.target = decodeMountField(before[4]);
    entry.mountOptions = before[5];
    entry.fsType = decodeMountField(fsType);
    entry.source = decodeMountField(source);
    entry.superOptions = decodeMountField(superOptions);
    table.append(std::move(entry));
  }
  return table;
}

bool extentOfDevice(u64 device, VolumeExtent& extent) {
  const fs::path dir = fs::path("/sys/dev/block") /
                       (std::to_string(device >> 32) + ":" + std::to_string(device & 0xFFFFFFFFu));
  VolumeExtent found;
  if (!parseNumber(readAttribute(dir / "size"), found.size)) return false;
  std::error_code ec;
  if (fs::exists(dir / "partition", ec) && !parseNumber(readAttribute(dir / "start"), found.start)) return false;
  extent = found;
  return true;
}

bool extentOfNode(const vrk::String& node, VolumeExtent& extent) {
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  return extentOfDevice(makeDeviceNumber(major(st.st_rdev), minor(st.st_rdev)), extent);
}

// --- WindowsDevice ---------------------------------------------------------------------

WindowsDevice::WindowsDevice(const vrk::String& kernelName, WinDeviceType type, const vrk::String& displayText)
    : name_(kernelName), locator_("/dev/" + kernelName), type_(type), display_(displayText) {}

void WindowsDevice::getDisplayName(vrk::String& name, const vrk::String& extra) const {
  name = display_;
  if (!extra.empty()) name += " " + extra;
}

// --- WindowsDeviceSet ------------------------------------------------------------------

void WindowsDeviceSet::appendDisks() {
  for (const std::string& name : blockDeviceNames()) {
    const fs::path sysPath = fs::path("/sys/block") / name;
    if (startsWith(name, "fd")) continue;  // floppies: appendFloppies
    if (startsWith(name, "loop")) {
      const std::string backing = readAttribute(sysPath / "loop" / "backing_file");
      if (backing.empty()) continue;  // not bound to anything
      devices_.append(WindowsDevice(name, DEVICE_VIRTUAL_DISK, withCapacity(name + ": " + backing, sysPath)));
      continue;
    }
    if (startsWith(name, "nbd")) {
      if (readAttribute(sysPath / "size") == "0") continue;  // not connected
      devices_.append(WindowsDevice(name, DEVICE_VIRTUAL_DISK, withCapacity("Network block device " + name, sysPath)));
      continue;
    }
    if (startsWith(name, "ram") || startsWith(name, "zram") || startsWith(name, "dm-") || startsWith(name, "md") ||
        startsWith(name, "sr")) {
      continue;
    }
    std::string what = vendorAndModel(sysPath);
    if (what.empty()) what = name;
    if (startsWith(name, "mmcblk")) {
      if (name.find("boot") != std::string::npos || name.find("rpmb") != std::string::npos) continue;
      devices_.append(WindowsDevice(name, DEVICE_MEMORY_CARD, withCapacity(what, sysPath)));
    } else if (resolvesThroughUsb(sysPath)) {
      devices_.append(WindowsDevice(name, DEVICE_USB_DISK, withCapacity(what, sysPath)));
    } else if (!isVirtualDevice(sysPath)) {
      devices_.append(WindowsDevice(name, DEVICE_INTERNAL_DISK, withCapacity(what, sysPath)));
    }
  }
}

void WindowsDeviceSet::appendFloppies() {
  for (const std::string& name : blockDeviceNames()) {
    if (!startsWith(name, "fd")) continue;
    devices_.append(WindowsDevice(name, DEVICE_FLOPPY, "Floppy drive " + name));
  }
}

// --- Volume ----------------------------------------------------------------------------

Volume::Volume(const vrk::String& kernelName, u64 device, u32 partitionNumber)
    : name_(kernelName), locator_("/dev/" + kernelName), device_(device), partition_(partitionNumber) {}

bool Volume::getDriveLetter(char& /*letter*/) const { return false; }

vrk::Array<MountEntry> Volume::getMounts() const {
  vrk::Array<MountEntry> mine;
  for (const MountEntry& entry : readMountTable()) {
    if (entry.device == device_ || entry.source == locator_) mine.append(entry);
  }
  return mine;
}

// --- WindowsDrive ----------------------------------------------------------------------

WindowsDrive::WindowsDrive(const SharedHandle& driveHandle) : handle_(driveHandle) {
  struct stat st {};
  if (handle_ && isBlockDevice(handle_->get(), st)) {
    device_ = makeDeviceNumber(major(st.st_rdev), minor(st.st_rdev));
    std::error_code ec;
    const fs::path link = fs::path("/sys/dev/block") / (std::to_string(major(st.st_rdev)) + ":" +
                                                         std::to_string(minor(st.st_rdev)));
    const fs::path real = fs::canonical(link, ec);
    if (!ec) {
      sysPath_ = real.string();
      name_ = real.filename().string();
      isPartition_ = fs::exists(real / "partition", ec);
    }
  }
  update(true);
}

WindowsDrive::~WindowsDrive() = default;

u64 WindowsDrive::getTotalCapacity() const {
  struct stat st {};
  const int fd = handle_ ? handle_->get() : -1;
  if (isBlockDevice(fd, st)) {
    unsigned long long bytes = 0;
    return ::ioctl(fd, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
  }
  return fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<u64>(st.st_size) : 0;
}

u32 WindowsDrive::getSectorSize() const {
  struct stat st {};
  const int fd = handle_ ? handle_->get() : -1;
  int logical = 0;
  if (isBlockDevice(fd, st) && ::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) return static_cast<u32>(logical);
  return 512;
}

WindowsDrive::MediaType WindowsDrive::getMediaType() const {
  if (sysPath_.empty()) return UnknownMedia;
  const fs::path disk = isPartition_ ? fs::path(sysPath_.str()).parent_path() : fs::path(sysPath_.str());
  const std::string diskName = disk.filename().string();
  if (readAttribute(disk / "removable") == "1" || startsWith(diskName, "mmcblk") || resolvesThroughUsb(disk)) {
    return RemovableMedia;
  }
  return FixedMedia;
}

void WindowsDrive::update(bool rescanVolumes) {
  if (!rescanVolumes) return;
  volumes_.clear();
  if (sysPath_.empty()) return;
  if (isPartition_) {
    u64 number = 0;
    (void)parseNumber(readAttribute(fs::path(sysPath_.str()) / "partition"), number);
    volumes_.append(Volume(name_, device_, static_cast<u32>(number)));
    return;
  }
  struct Found {
    u32 number;
    std::string name;
    u64 device;
  };
  std::vector<Found> partitions;
  std::error_code ec;
  for (fs::directory_iterator it(sysPath_.str(), ec), end; !ec && it != end; it.increment(ec)) {
    u64 number = 0, device = 0;
    if (!parseNumber(readAttribute(it->path() / "partition"), number) ||
        !parseDeviceNumber(readAttribute(it->path() / "dev"), device)) {
      continue;
    }
    partitions.push_back({static_cast<u32>(number), it->path().filename().string(), device});
  }
  std::sort(partitions.begin(), partitions.end(), [](const Found& a, const Found& b) { return a.number < b.number; });

  // The whole disk is a volume of its own only while a file system is mounted from it:
  // a blank drive, like a partitioned one, has no volume there.
  const Volume whole(name_, device_, 0);
  if (!whole.getMounts().empty()) volumes_.append(whole);
  for (const Found& p : partitions) volumes_.append(Volume(p.name, p.device, p.number));
}

}  // namespace libSysHost

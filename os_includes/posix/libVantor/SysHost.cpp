// os_includes/posix/libVantor/SysHost.cpp
//
// Linux device library: sysfs for the device list, types, names, partitions and
// removable flags; libmount's mount table for mounts; BLKGETSIZE64 and BLKSSZGET for
// sizes; libblkid for the file system on each volume (low-level probing of the node,
// read-only, no cache file).
//
// Device types: 1 USB-attached disk (the device behind /sys/block/X resolves through a
// usb bus); 2 memory card (mmcblk*, without its boot and rpmb areas); 4 internal disk
// (ATA, NVMe, SCSI, virtio and every other disk on a real bus); 8 virtual disk (a loop
// device with a backing file, nbd); 16 floppy drive (fd*, listed by appendFloppies only).
// So the kinds USB and card give what a user calls keys and cards, and only "every
// kind" gives virtual disks. Loop devices without a backing file, ram, zram,
// device-mapper, md and optical drives are not listed.
//
// Display text: vendor and model (or the backing file), the capacity, then the file
// systems of the volumes: "KINGSTON DataTraveler (14.9 GiB), vfat 'PHOTOS'". The volumes
// named there are the disk's partitions, or the whole disk when it has none.
//
// Media kind: removable when sysfs `removable` is 1 or the disk is USB- or MMC-attached;
// neither for something that is not a block device.
//
// Volumes of a drive: its partitions in partition-number order, preceded by the whole
// disk while a file system is mounted from it (a blank drive has no volume). No volume
// has a drive letter; a volume opens by its node, "/dev/NAME" or "/dev/NAMEpN", and its
// system id is its device number. A listed device's facts also name the whole disk when
// it has no partitions and holds a file system; they are read from sysfs (size, logical
// block size, `ro`) without opening the device.
#include <libVantor/internal/SysHost.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <blkid/blkid.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <libVantor/MountTable.h>
#include <libVantor/PosixApi.h>
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
  device = vantor::os::deviceNumber(major, minor);
  return true;
}

// A partition's place on its disk; sysfs counts in 512-byte units whatever the sector size.
libSysHost::VolumeExtent extentIn(const fs::path& dir) {
  u64 start = 0, size = 0;
  (void)parseNumber(readAttribute(dir / "start"), start);
  (void)parseNumber(readAttribute(dir / "size"), size);
  return {start * 512, size * 512};
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// One partition of a disk, as sysfs lists it.
struct Partition {
  u64 number;
  std::string name;
  u64 device;
  libSysHost::VolumeExtent extent;
};

// The partitions of the disk whose sysfs directory is `dir`, in partition-number order.
std::vector<Partition> partitionsIn(const fs::path& dir) {
  std::vector<Partition> partitions;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    u64 number = 0, device = 0;
    if (!parseNumber(readAttribute(it->path() / "partition"), number) ||
        !parseDeviceNumber(readAttribute(it->path() / "dev"), device)) {
      continue;
    }
    partitions.push_back({number, it->path().filename().string(), device, extentIn(it->path())});
  }
  std::sort(partitions.begin(), partitions.end(),
            [](const Partition& a, const Partition& b) { return a.number < b.number; });
  return partitions;
}

struct ProbeFree {
  void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeFree>;

// The file system on the node `node`; nothing when the node does not open or holds no
// file system libblkid recognises (or more than one).
FileSystemFacts probeFileSystem(const std::string& node) {
  FileSystemFacts facts;
  const Probe probe(blkid_new_probe_from_filename(node.c_str()));
  if (!probe || blkid_probe_enable_superblocks(probe.get(), 1) != 0 ||
      blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID) != 0 ||
      blkid_do_safeprobe(probe.get()) != 0) {
    return facts;
  }
  const auto value = [&probe](const char* name) {
    const char* data = nullptr;
    return blkid_probe_lookup_value(probe.get(), name, &data, nullptr) == 0 ? vrk::String(data) : vrk::String();
  };
  facts.type = value("TYPE");
  facts.label = value("LABEL");
  facts.uuid = value("UUID");
  return facts;
}

// ", vfat 'PHOTOS', ext2": the file systems of the volumes.
std::string fileSystemsText(const vrk::Array<Volume>& volumes) {
  std::string text;
  for (const Volume& volume : volumes) {
    const FileSystemFacts& facts = volume.getFileSystem();
    if (facts.type.empty()) continue;
    text += ", " + facts.type.str();
    if (!facts.label.empty()) text += " '" + facts.label.str() + "'";
  }
  return text;
}

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

bool isBlockDevice(int fd, struct stat& st) { return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode); }

// Bytes of the device whose sysfs directory is `dir`; sysfs counts in 512-byte units
// whatever the sector size.
u64 sizeIn(const fs::path& dir) {
  u64 sectors = 0;
  return parseNumber(readAttribute(dir / "size"), sectors) ? sectors * 512 : 0;
}

WindowsDrive::MediaType mediaOf(const fs::path& disk) {
  const std::string name = disk.filename().string();
  if (readAttribute(disk / "removable") == "1" || startsWith(name, "mmcblk") || resolvesThroughUsb(disk)) {
    return WindowsDrive::RemovableMedia;
  }
  return WindowsDrive::FixedMedia;
}

// The volumes of the whole disk whose sysfs directory is `dir`: the disk itself while a
// file system is mounted from it (or, with `bareFileSystem`, while it has no partitions
// and holds one), then its partitions.
vrk::Array<Volume> volumesOf(const fs::path& dir, bool bareFileSystem) {
  vrk::Array<Volume> volumes;
  const std::string node = "/dev/" + dir.filename().string();
  u64 device = 0;
  (void)parseDeviceNumber(readAttribute(dir / "dev"), device);
  const std::vector<Partition> partitions = partitionsIn(dir);
  const VolumeExtent whole{0, sizeIn(dir)};
  if (!vantor::os::mountsOf(device, node).empty()) {
    volumes.append(Volume(node, device, 0, whole, true, probeFileSystem(node)));
  } else if (bareFileSystem && partitions.empty()) {
    const FileSystemFacts facts = probeFileSystem(node);
    if (!facts.type.empty()) volumes.append(Volume(node, device, 0, whole, true, facts));
  }
  for (const Partition& p : partitions) {
    const std::string partitionNode = "/dev/" + p.name;
    volumes.append(Volume(partitionNode, p.device, 0, p.extent, true, probeFileSystem(partitionNode)));
  }
  return volumes;
}

DeviceFacts factsOf(const fs::path& sysPath, const std::string& product, bool withVolumes) {
  DeviceFacts facts;
  facts.product = product;
  facts.sizeBytes = sizeIn(sysPath);
  u64 sectorSize = 0;
  if (parseNumber(readAttribute(sysPath / "queue" / "logical_block_size"), sectorSize)) {
    facts.sectorSize = static_cast<u32>(sectorSize);
  }
  facts.media = mediaOf(sysPath);
  facts.readOnly = readAttribute(sysPath / "ro") == "1";
  if (withVolumes) facts.volumes = volumesOf(sysPath, true);
  return facts;
}

// A device of the set: its text is `what`, its capacity, then the file systems of its volumes.
WindowsDevice deviceOf(const std::string& name, WinDeviceType type, const std::string& what,
                       const std::string& product, bool withVolumes) {
  const fs::path sysPath = fs::path("/sys/block") / name;
  const DeviceFacts facts = factsOf(sysPath, product, withVolumes);
  return WindowsDevice("/dev/" + name, type, withCapacity(what, sysPath) + fileSystemsText(facts.volumes), facts);
}

}  // namespace

// --- WindowsDeviceSet ------------------------------------------------------------------

void WindowsDeviceSet::appendDisks(const std::string& onlyLocator, bool withVolumes) {
  for (const std::string& name : blockDeviceNames()) {
    if (!onlyLocator.empty() && "/dev/" + name != onlyLocator) continue;
    const fs::path sysPath = fs::path("/sys/block") / name;
    if (startsWith(name, "fd")) continue;  // floppies: appendFloppies
    if (startsWith(name, "loop")) {
      const std::string backing = readAttribute(sysPath / "loop" / "backing_file");
      if (backing.empty()) continue;  // not bound to anything
      devices_.append(deviceOf(name, DEVICE_VIRTUAL_DISK, name + ": " + backing, backing, withVolumes));
      continue;
    }
    if (startsWith(name, "nbd")) {
      if (readAttribute(sysPath / "size") == "0") continue;  // not connected
      devices_.append(deviceOf(name, DEVICE_VIRTUAL_DISK, "Network block device " + name, std::string(), withVolumes));
      continue;
    }
    if (startsWith(name, "ram") || startsWith(name, "zram") || startsWith(name, "dm-") || startsWith(name, "md") ||
        startsWith(name, "sr")) {
      continue;
    }
    const std::string product = vendorAndModel(sysPath);
    const std::string what = product.empty() ? name : product;
    if (startsWith(name, "mmcblk")) {
      if (name.find("boot") != std::string::npos || name.find("rpmb") != std::string::npos) continue;
      devices_.append(deviceOf(name, DEVICE_MEMORY_CARD, what, product, withVolumes));
    } else if (resolvesThroughUsb(sysPath)) {
      devices_.append(deviceOf(name, DEVICE_USB_DISK, what, product, withVolumes));
    } else if (!isVirtualDevice(sysPath)) {
      devices_.append(deviceOf(name, DEVICE_INTERNAL_DISK, what, product, withVolumes));
    }
  }
}

void WindowsDeviceSet::appendFloppies() {
  for (const std::string& name : blockDeviceNames()) {
    if (!startsWith(name, "fd")) continue;
    devices_.append(WindowsDevice("/dev/" + name, DEVICE_FLOPPY, "Floppy drive " + name));
  }
}

// --- WindowsDrive ----------------------------------------------------------------------

WindowsDrive::WindowsDrive(const SharedHandle& driveHandle) : handle_(driveHandle) {
  struct stat st {};
  if (handle_ && isBlockDevice(handle_->get(), st)) {
    systemId_ = vantor::os::deviceNumber(major(st.st_rdev), minor(st.st_rdev));
    std::error_code ec;
    const fs::path link = fs::path("/sys/dev/block") / (std::to_string(major(st.st_rdev)) + ":" +
                                                         std::to_string(minor(st.st_rdev)));
    const fs::path real = fs::canonical(link, ec);
    if (!ec) {
      systemPath_ = real.string();
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
    return vantor::os::posixApi().ioctl(fd, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
  }
  return fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<u64>(st.st_size) : 0;
}

u32 WindowsDrive::getSectorSize() const {
  struct stat st {};
  const int fd = handle_ ? handle_->get() : -1;
  int logical = 0;
  if (isBlockDevice(fd, st) && vantor::os::posixApi().ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) {
    return static_cast<u32>(logical);
  }
  return 512;
}

WindowsDrive::MediaType WindowsDrive::getMediaType() const {
  if (systemPath_.empty()) return UnknownMedia;
  return mediaOf(isPartition_ ? fs::path(systemPath_.str()).parent_path() : fs::path(systemPath_.str()));
}

void WindowsDrive::update(bool rescanVolumes) {
  if (!rescanVolumes) return;
  volumes_.clear();
  if (systemPath_.empty()) return;
  const fs::path dir(systemPath_.str());
  if (isPartition_) {  // a drive opened on a partition is that one volume, from its first byte
    const std::string node = "/dev/" + dir.filename().string();
    volumes_.append(Volume(node, systemId_, 0, {0, getTotalCapacity()}, true, probeFileSystem(node)));
    return;
  }
  volumes_ = volumesOf(dir, false);
}

}  // namespace libSysHost

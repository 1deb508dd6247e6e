// os_includes/windows/libVantor/SysHost.cpp
//
// Windows device library: SetupAPI's disk and floppy interfaces for the device list,
// IOCTL_STORAGE_GET_DEVICE_NUMBER for each disk's number ("\\.\PhysicalDriveN" is its
// locator), IOCTL_STORAGE_QUERY_PROPERTY for its bus, maker and model,
// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX for size, sector size and media, and the volume
// functions with IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS for the volumes on each disk.
// All of it through winApi().
//
// Device types: 1 USB-attached disk (bus USB); 2 memory card (bus SD or MMC); 8 virtual
// disk (the system's virtual and file-backed disks, and pooled storage); 4 internal disk
// (every other bus); 16 floppy drive (appendFloppies only). A disk that does not answer
// the bus query counts as internal. A device interface whose number cannot be read, that
// is not a disk, that cannot be partitioned (a floppy drive: partition number -1), that is
// one path of a multipath disk (disk number 0xFFFFFFFF), or whose number was listed
// already is left out. Disks are listed by
// disk number; a floppy drive's locator is its interface path.
//
// Listing adds to the process's error mode the flags that keep the system from asking the
// user about a drive without its medium, and leaves them set: the drives listed are opened after the listing.
// A disk without a medium is listed all the same (no size in its text, 0 bytes large).
// The queries of one drive (size, media kind, volumes) quiet the calling thread's error
// mode only while they ask.
//
// Display text: maker and model (or "Disk N"), the capacity, then the file systems of the
// disk's volumes: "Kingston DataTraveler 3.0 (14.9 GiB), FAT32 'PHOTOS'".
//
// Media kind: removable when the medium or the device says so, or the disk hangs on a
// USB, SD or MMC bus; fixed for any other disk that answers; neither when the handle is
// not a disk (a regular file) or nothing answers.
//
// A listed disk's facts (size, sector size, media kind, volumes) are those of the same
// queries, asked once while the set is made; read-only is not among them (it needs the
// drive opened for reading).
//
// Volumes of a drive: every volume of the machine with a piece on the drive's disk
// number, ordered by where it starts; a volume opens by "\\?\Volume{...}", its drive
// letter is the first drive root it is mounted on, and its system id is its disk number
// and partition number. A drive opened by a volume's own name has no volumes here.
#include <libVantor/internal/SysHost.h>

#include <algorithm>
#include <string>
#include <vector>

#include <libVantor/DeviceQueries.h>
#include <libVantor/WinApi.h>
#include <vrk/Files.h>
#include <vrk/windows/WideText.h>

namespace libSysHost {
namespace {

using vantor::os::winApi;

std::string capacityText(u64 bytes) {
  if (bytes == 0) return std::string();
  return vrk::NonDiscreteMeasurement(static_cast<double>(bytes)).toString(1).str();
}

// ", FAT32 'PHOTOS', NTFS": the file systems of the volumes.
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

// One disk found through its interface, before it becomes a device of the set.
struct FoundDisk {
  DWORD number;
  WinDeviceType type;
  std::string what;  // maker and model, or "Disk N"
  DeviceFacts facts;
};

bool isRemovableMediaType(MEDIA_TYPE type) { return type != FixedMedia && type != Unknown; }

WindowsDrive::MediaType mediaOf(bool storageKnown, const vantor::os::StorageFacts& storage, bool mediumKnown,
                                const vantor::os::MediumFacts& medium) {
  if (storageKnown && (storage.removableMedia || storage.bus == BusTypeUsb || storage.bus == BusTypeSd ||
                       storage.bus == BusTypeMmc)) {
    return WindowsDrive::RemovableMedia;
  }
  if (mediumKnown && isRemovableMediaType(medium.mediaType)) return WindowsDrive::RemovableMedia;
  return storageKnown || mediumKnown ? WindowsDrive::FixedMedia : WindowsDrive::UnknownMedia;
}

}  // namespace

// --- WindowsDeviceSet ------------------------------------------------------------------

void WindowsDeviceSet::appendDisks(const std::string& onlyLocator, bool withVolumes) {
  vantor::os::quietErrorModeForGood();
  std::vector<FoundDisk> disks;
  for (const std::wstring& path : winApi().deviceInterfacePaths(vantor::os::WinApi::DeviceInterface::Disk)) {
    const vrk::FileHandle handle = vantor::os::openForQuery(path);
    if (!handle.isValid()) continue;
    STORAGE_DEVICE_NUMBER number;
    if (!vantor::os::deviceNumberOf(handle.get(), number) || !vantor::os::isNumberedDisk(number)) continue;
    if (std::any_of(disks.begin(), disks.end(), [&](const FoundDisk& d) { return d.number == number.DeviceNumber; })) {
      continue;
    }
    FoundDisk disk{number.DeviceNumber, DEVICE_INTERNAL_DISK, std::string(), DeviceFacts()};
    vantor::os::StorageFacts storage;
    const bool storageKnown = vantor::os::storageFactsOf(handle.get(), storage);
    if (storageKnown) {
      disk.type = vantor::os::deviceTypeOfBus(storage.bus);
      disk.what = storage.vendor.empty() ? storage.product
                  : storage.product.empty() ? storage.vendor
                                            : storage.vendor + " " + storage.product;
    }
    disk.facts.product = disk.what;
    vantor::os::MediumFacts medium;
    const bool mediumKnown = vantor::os::mediumFactsOf(handle.get(), medium);
    if (mediumKnown) {
      disk.facts.sizeBytes = medium.sizeBytes;
      disk.facts.sectorSize = medium.sectorSize;
    }
    disk.facts.media = mediaOf(storageKnown, storage, mediumKnown, medium);
    if (disk.what.empty()) disk.what = "Disk " + std::to_string(number.DeviceNumber);
    disks.push_back(std::move(disk));
  }
  std::stable_sort(disks.begin(), disks.end(), [](const FoundDisk& a, const FoundDisk& b) { return a.number < b.number; });
  if (!onlyLocator.empty()) {
    disks.erase(std::remove_if(disks.begin(), disks.end(),
                               [&](const FoundDisk& d) {
                                 return _stricmp(("\\\\.\\PhysicalDrive" + std::to_string(d.number)).c_str(),
                                                 onlyLocator.c_str()) != 0;
                               }),
                disks.end());
  }

  const std::vector<vantor::os::MachineVolume> volumes =
      withVolumes ? vantor::os::machineVolumes() : std::vector<vantor::os::MachineVolume>();
  for (FoundDisk& disk : disks) {
    if (withVolumes) disk.facts.volumes = vantor::os::volumesOnDisk(volumes, disk.number);
    const std::string capacity = capacityText(disk.facts.sizeBytes);
    const std::string text =
        (capacity.empty() ? disk.what : disk.what + " (" + capacity + ")") + fileSystemsText(disk.facts.volumes);
    devices_.append(WindowsDevice("\\\\.\\PhysicalDrive" + std::to_string(disk.number), disk.type, text, disk.facts));
  }
}

void WindowsDeviceSet::appendFloppies() {
  vantor::os::quietErrorModeForGood();
  u32 count = 0;
  for (const std::wstring& path : winApi().deviceInterfacePaths(vantor::os::WinApi::DeviceInterface::Floppy)) {
    devices_.append(WindowsDevice(vrk::windows::narrow(path), DEVICE_FLOPPY, "Floppy drive " + std::to_string(count++)));
  }
}

// --- WindowsDrive ----------------------------------------------------------------------

WindowsDrive::WindowsDrive(const SharedHandle& driveHandle) : handle_(driveHandle) {
  STORAGE_DEVICE_NUMBER number;
  // A floppy drive answers its own number with partition number -1: it is not the disk of
  // that number, and has no volumes here.
  if (handle_ && handle_->isValid() && vantor::os::deviceNumberOf(handle_->get(), number) &&
      vantor::os::isNumberedDisk(number)) {
    systemId_ = number.DeviceNumber;
    systemPath_ = "\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber);
    isPartition_ = number.PartitionNumber != 0;
  }
  update(true);
}

WindowsDrive::~WindowsDrive() = default;

u64 WindowsDrive::getTotalCapacity() const {
  if (!handle_ || !handle_->isValid()) return 0;
  const vantor::os::QuietErrorMode quiet;
  vantor::os::MediumFacts medium;
  return vantor::os::mediumFactsOf(handle_->get(), medium) ? medium.sizeBytes : 0;
}

u32 WindowsDrive::getSectorSize() const {
  if (!handle_ || !handle_->isValid()) return 512;
  const vantor::os::QuietErrorMode quiet;
  vantor::os::MediumFacts medium;
  return vantor::os::mediumFactsOf(handle_->get(), medium) && medium.sectorSize != 0 ? medium.sectorSize : 512;
}

WindowsDrive::MediaType WindowsDrive::getMediaType() const {
  if (!handle_ || !handle_->isValid()) return UnknownMedia;
  const vantor::os::QuietErrorMode quiet;
  vantor::os::StorageFacts storage;
  const bool storageKnown = vantor::os::storageFactsOf(handle_->get(), storage);
  vantor::os::MediumFacts medium;
  const bool mediumKnown = vantor::os::mediumFactsOf(handle_->get(), medium);
  return mediaOf(storageKnown, storage, mediumKnown, medium);
}

void WindowsDrive::update(bool rescanVolumes) {
  if (!rescanVolumes) return;
  volumes_.clear();
  if (systemPath_.empty() || isPartition_) return;
  const vantor::os::QuietErrorMode quiet;
  volumes_ = vantor::os::volumesOnDisk(vantor::os::machineVolumes(), static_cast<DWORD>(systemId_));
}

}  // namespace libSysHost

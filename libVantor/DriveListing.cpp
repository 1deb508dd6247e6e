// What the device set found, turned into plain records, with what only a second look
// tells: whether each drive opens for reading and refuses writes, and where each volume
// is mounted. The kind of each drive is decided once, on each system's side of the seam.
#include <libVantor/DriveListing.h>

#include <filesystem>

#include <libVantor/WinDiskDevice.h>
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/DriveOps.h>
#include <libVantor/internal/SysHost.h>
#include <libVantor/internal/VolumeOps.h>

namespace vantor {
namespace {

DriveKind kindOf(libSysHost::WinDeviceType type) {
  switch (type) {
    case libSysHost::DEVICE_USB_DISK:
      return DRIVE_USB;
    case libSysHost::DEVICE_MEMORY_CARD:
      return DRIVE_CARD;
    case libSysHost::DEVICE_VIRTUAL_DISK:
      return DRIVE_VIRTUAL;
    default:
      return DRIVE_INTERNAL;
  }
}

bool isDriveLetter(const std::string& point) { return point.size() == 2 && point[1] == ':'; }

LISTED_VOLUME volumeOf(const libSysHost::Volume& volume) {
  LISTED_VOLUME listed;
  listed.locator = volume.getOSLocator().str();
  libSysHost::VolumeExtent extent;
  listed.extentKnown = volume.getExtent(extent);
  listed.firstByte = extent.firstByte;
  listed.byteCount = extent.byteCount;
  listed.fileSystem = volume.getFileSystem().type.str();
  listed.label = volume.getFileSystem().label.str();
  listed.uuid = volume.getFileSystem().uuid.str();
  vrk::Array<vrk::String> points;
  os::mountPointsOf(volume, points);
  for (const vrk::String& point : points) {
    listed.mountPoints.push_back(point.str());
    if (isDriveLetter(point.str())) listed.driveLetters.push_back(point.str());
  }
  return listed;
}

LISTED_DRIVE driveOf(const libSysHost::WindowsDevice& device) {
  const libSysHost::DeviceFacts& facts = device.facts();
  LISTED_DRIVE drive;
  drive.locator = device.getOsLocator().str();
  drive.kind = kindOf(device.getType());
  drive.media = WinDiskDevice::mediaTypeOf(facts.media);
  drive.product = facts.product.str();
  vrk::String text;
  device.getDisplayName(text, vrk::String());
  drive.displayText = text.str();
  drive.sizeBytes = facts.sizeBytes;
  drive.sectorSize = facts.sectorSize;
  bool refusesWrites = false;
  if (const int error = os::probeDrive(device.getOsLocator(), refusesWrites)) {
    drive.openError = os::systemErrorText(error).str();
  }
  drive.readOnly = facts.readOnly || refusesWrites;
  for (const libSysHost::Volume& volume : facts.volumes) {
    drive.volumes.push_back(volumeOf(volume));
    for (const std::string& point : drive.volumes.back().mountPoints) drive.mountPoints.push_back(point);
  }
  return drive;
}

// The node a path names once links are followed; the path itself when it names none.
std::string resolved(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

}  // namespace

std::vector<LISTED_DRIVE> DriveListing::drives() {
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  std::vector<LISTED_DRIVE> drives;
  drives.reserve(set.size());
  for (u32 i = 0; i < set.size(); ++i) {
    if (!set[i].getOsLocator().empty()) drives.push_back(driveOf(set[i]));
  }
  return drives;
}

bool DriveListing::find(const std::string& locator, LISTED_DRIVE& drive, Detail detail) {
  // Only the drive asked for is asked of the system and probed: by its locator as given,
  // else spelled another way ("/dev/disk/by-id/..."), the node it names once links are
  // followed. No other drive of the machine is read (or woken).
  for (const std::string& wanted : {locator, resolved(locator)}) {
    libSysHost::WindowsDeviceSet set;
    set.appendDisks(wanted, detail == WITH_VOLUMES);
    for (u32 i = 0; i < set.size(); ++i) {
      if (set[i].getOsLocator().empty()) continue;
      drive = driveOf(set[i]);
      return true;
    }
  }
  return false;
}

}  // namespace vantor

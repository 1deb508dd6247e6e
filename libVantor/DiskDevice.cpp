#include <libVantor/DiskDevice.h>

#include <libVantor/internal/SysHost.h>
#include <libVantor/WinDiskDevice.h>

namespace vantor {

DiskDevice::DiskDevice(const vrk::String& description, std::shared_ptr<IDisk> disk)
    : disk_(std::move(disk)), description_(description) {
  disk_->getMountPoints(mountPoints_);
}

namespace {

// ENUM_ALL_KINDS takes every kind; otherwise the flag of the device's kind must be set:
// device type 4 is an internal disk, 1 a USB-attached one, 2 a memory card.
bool passesTypeTest(u32 flags, u32 type) {
  if (flags & DiskDevice::ENUM_ALL_KINDS) return true;
  return ((flags & DiskDevice::ENUM_INTERNAL) && type == 4) || ((flags & DiskDevice::ENUM_USB) && type == 1) ||
         ((flags & DiskDevice::ENUM_CARDS) && type == 2);
}

}  // namespace

void DiskDevice::enumDevices(vrk::Array<DiskDevice>& devices, u32 flags, u16 sectorSize) {
  // Where probing a drive without a medium could ask the user, the device set's
  // appends set the system's error mode against it first, and leave it set for the
  // opens that follow.
  devices.clear();
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  if (flags & ENUM_FLOPPIES) set.appendFloppies();
  devices.reserve(set.size());

  for (u32 i = 0; i < set.size(); ++i) {
    const libSysHost::WindowsDevice& d = set[i];
    const vrk::String locator = d.getOsLocator();
    if (locator.empty()) continue;
    if (!passesTypeTest(flags, d.getType())) continue;
    vrk::String text;
    d.getDisplayName(text, vrk::String());
    // May throw ERR_DISK_ACCESS: the listing stops there, keeping the devices found so far.
    std::shared_ptr<IDisk> disk = std::make_shared<WinDiskDevice>(locator);
    DiskDevice device(text, disk);
    const MediaType media = disk->getMediaType();
    if ((flags & ENUM_DROP_REMOVABLE) && media == MEDIA_REMOVABLE) continue;
    if ((flags & ENUM_DROP_FIXED) && media == MEDIA_FIXED) continue;
    if (sectorSize != 0 && disk->getSectorSize() != sectorSize) continue;
    devices.append(device);
  }
}

}  // namespace vantor

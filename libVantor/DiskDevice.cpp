#include <libVantor/DiskDevice.h>

#include <libVantor/internal/SysHost.h>
#include <libVantor/WinDiskDevice.h>

namespace vantor {

DiskDevice::DiskDevice(const vrk::String& description, std::shared_ptr<IDisk> disk)
    : disk_(std::move(disk)), description_(description) {
  disk_->getMountPoints(mountPoints_);
}

namespace {

// Flag 0x10 takes every kind; otherwise one of 0x02 (internal), 0x04 (USB), 0x08 (card)
// must name the device's kind.
bool passesTypeTest(u32 flags, u32 type) {
  if (flags & 0x10) return true;
  return ((flags & 0x02) && type == 4) || ((flags & 0x04) && type == 1) || ((flags & 0x08) && type == 2);
}

}  // namespace

void DiskDevice::enumDevices(vrk::Array<DiskDevice>& devices, u32 flags, u16 sectorSize) {
  // Where probing a drive without a medium could ask the user, the device set's
  // appends set the system's error mode against it first, and leave it set for the
  // opens that follow.
  devices.clear();
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  if (flags & 0x01) set.appendFloppies();
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
    if ((flags & 0x20) && media == MEDIA_REMOVABLE) continue;
    if ((flags & 0x40) && media == MEDIA_FIXED) continue;
    if (sectorSize != 0 && disk->getSectorSize() != sectorSize) continue;
    devices.append(device);
  }
}

}  // namespace vantor

// libVantor/pending/DriveLayerStandIn.cpp
//
// Stands in for the drive layer (WinDiskDevice, Volumes, DiskFactory and the listing in
// DiskDevice.cpp) in builds for a system whose side of the drive seam is not written yet;
// CMake uses it instead of VANTOR_DRIVE_LAYER_SOURCES there. It keeps the device record,
// which every service needs for disk files, and answers every request for a physical
// drive the way an unopenable drive is answered: ERR_DISK_ACCESS. Goes away when the
// seam has that system's side.
#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/VantorException.h>

namespace vantor {

DiskDevice::DiskDevice(const vrk::String& description, std::shared_ptr<IDisk> disk)
    : disk_(std::move(disk)), description_(description) {
  disk_->getMountPoints(mountPoints_);
}

void DiskDevice::enumDevices(vrk::Array<DiskDevice>& devices, u32, u16) {
  devices.clear();
  throw VantorException(ERR_DISK_ACCESS, "Physical drives are not supported by this build of the library");
}

std::shared_ptr<IDisk> DiskFactory::getDiskDevice(const vrk::String& locator) {
  throw VantorException(ERR_DISK_ACCESS, vrk::String("Failed to open handle to device \"") + locator +
                                             "\": physical drives are not supported by this build of the library");
}

}  // namespace vantor

#include <libVantor/DiskDevice.h>

namespace vantor {

DiskDevice::DiskDevice(const vrk::String& description, std::shared_ptr<IDisk> disk)
    : disk_(std::move(disk)), description_(description) {
  disk_->getMountPoints(mountPoints_);
}

}  // namespace vantor

#include <libVantor/WinDiskDevice.h>

#include <libVantor/DeviceOps.h>
#include <libVantor/SysHost.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/Volumes.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.WinDiskDevice");
  return l;
}

}  // namespace

WinDiskDevice::WinDiskDevice(const vrk::String& locator) {
  const vrk::FileHandle opened(os::openDrive(locator));
  if (!opened.isValid()) {
    const int error = os::lastSystemError();
    if (logger().isEnabled(vrk::LOG_ERROR)) {
      logger().log(vrk::LOG_ERROR, vrk::String("158 ") + vrk::SprintfFormat("Failed to open handle to disk device (%u)",
                                                                            static_cast<unsigned>(error)));
    }
    throw VantorException(ERR_DISK_ACCESS, vrk::String("Failed to open handle to device \"") + locator + "\"");
  }
  drive = std::make_shared<libSysHost::WindowsDrive>(std::make_shared<vrk::FileHandle>(opened));
  volumes = std::make_shared<Volumes>(drive);
  setDiskParameters(opened, drive->getSectorSize(), drive->getTotalCapacity());
  // `opened` closes here: the disk and the drive object each hold a duplicate.
}

WinDiskDevice::WinDiskDevice(const WinDiskDevice& other) = default;

WinDiskDevice& WinDiskDevice::operator=(const WinDiskDevice& other) = default;

WinDiskDevice::~WinDiskDevice() {
  if (driveDismounted) (void)mountDrive();
}

WinDiskDevice* WinDiskDevice::clone() const { return new WinDiskDevice(*this); }

MediaType WinDiskDevice::getMediaType() const {
  switch (drive->getMediaType()) {
    case libSysHost::WindowsDrive::FixedMedia:
      return MEDIA_FIXED;
    case libSysHost::WindowsDrive::RemovableMedia:
      return MEDIA_REMOVABLE;
    default:
      return MEDIA_UNKNOWN;
  }
}

void WinDiskDevice::getMountPoints(vrk::Array<vrk::String>& mountPoints) const {
  (void)volumes->openVolumes();
  mountPoints = volumes->getMountPoints();
}

bool WinDiskDevice::lockDrive() { return volumes->lockVolumes(); }

bool WinDiskDevice::unlockDrive() { return volumes->unlockVolumes(); }

bool WinDiskDevice::dismountDrive() {
  driveDismounted = volumes->dismountVolumes();
  return driveDismounted;
}

bool WinDiskDevice::mountDrive() {
  volumes->releaseHandles();
  // The kernel forgets partitions only on request: make it see the table written meanwhile.
  (void)os::rereadPartitionTable(getHandle().get());
  volumes->mountBack();
  volumes->clearDismounted();
  drive->update(true);
  volumes = std::make_shared<Volumes>(drive);
  driveDismounted = false;
  return true;
}

}  // namespace vantor

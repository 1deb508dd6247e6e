#include <libVantor/WinDiskDevice.h>

#include <exception>

#include <libVantor/internal/DriveOps.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/SysHost.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/MbrLayout.h>
#include <libVantor/internal/SectorReadAhead.h>
#include <libVantor/internal/VolumeOps.h>
#include <libVantor/internal/Volumes.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.WinDiskDevice");
  return l;
}

void logMountStopped(const char* why) noexcept {
  try {
    if (logger().isEnabled(vrk::LOG_ERROR)) {
      logger().log(vrk::LOG_ERROR, vrk::String("242 ") + "Mounting the volumes back stopped: " + why);
    }
  } catch (...) {
    // Not even the record could be made (out of memory): nothing left to tell anybody.
  }
}

}  // namespace

WinDiskDevice::WinDiskDevice(const vrk::String& locator) {
  os::DriveAccess access = os::DriveAccess::ReadWrite;
  const vrk::FileHandle opened(os::openDrive(locator, access));
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
  writes = std::make_shared<std::atomic<u64>>(0);
  setDiskParameters(opened, drive->getSectorSize(), access == os::DriveAccess::NoMedium ? 0 : drive->getTotalCapacity());
  setWriteProtected(access != os::DriveAccess::ReadWrite);
  setNoMedium(access == os::DriveAccess::NoMedium);
  locator_ = locator;
  // `opened` closes here: the disk and the drive object each hold a duplicate.
}

// The copy shares the volumes but not the duty to mount them back: that stays with the
// object that dismounted them, which may still be writing.
WinDiskDevice::WinDiskDevice(const WinDiskDevice& other)
    : WinDisk(other),
      driveDismounted(false),
      systemWritesAllowed(other.systemWritesAllowed),
      locator_(other.locator_),
      drive(other.drive),
      volumes(other.volumes),
      writes(other.writes) {}

WinDiskDevice& WinDiskDevice::operator=(const WinDiskDevice& other) {
  if (this == &other) return *this;
  if (driveDismounted) (void)mountDrive();  // what this object took away, it gives back
  WinDisk::operator=(other);
  systemWritesAllowed = other.systemWritesAllowed;
  locator_ = other.locator_;
  drive = other.drive;
  volumes = other.volumes;
  writes = other.writes;
  driveDismounted = false;
  readAhead.reset();
  return *this;
}

WinDiskDevice::~WinDiskDevice() {
  if (driveDismounted) (void)mountDrive();
}

WinDiskDevice* WinDiskDevice::clone() const { return new WinDiskDevice(*this); }

MediaType WinDiskDevice::getMediaType() const { return mediaTypeOf(drive->getMediaType()); }

MediaType WinDiskDevice::mediaTypeOf(u32 deviceLibraryMedia) {
  switch (deviceLibraryMedia) {
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

bool WinDiskDevice::impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const {
  if (!readAhead) readAhead = std::make_unique<SectorReadAhead>(getSectorSize(), fullSectorCount(*this));
  if (readAhead->read(getHandle().get(), sectorOffset, buffer, sectorCount, writes->load())) return true;
  return WinDisk::impReadSectors(sectorOffset, buffer, sectorCount);
}

bool WinDiskDevice::impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) {
  // Noted before the write: a write that fails may still have changed some sectors. Counted
  // before and after it, so that what this object or a copy read ahead is dropped.
  volumes->noteWritten(getByteOffset(sectorOffset), u64(sectorCount) * getSectorSize());
  ++*writes;
  const bool written = WinDisk::impWriteSectors(sectorOffset, buffer, sectorCount);
  ++*writes;
  return written;
}

bool WinDiskDevice::lockDrive() { return volumes->lockVolumes(); }

bool WinDiskDevice::unlockDrive() { return volumes->unlockVolumes(); }

bool WinDiskDevice::dismountDrive() {
  driveDismounted = volumes->dismountVolumes();
  return driveDismounted;
}

bool WinDiskDevice::mountDrive() {
  // Runs from the destructor too, so nothing may escape: a failure stops the mounting
  // and is logged.
  try {
    // The system forgets partitions only on request: make it see the table written
    // meanwhile. Where a volume comes back by itself once its hold ends, that is done
    // first, so that no volume of the old table is mounted over the new data, and the
    // volumes that must stay off are taken off before the holds go; where a held
    // partition cannot change, the holds go first.
    const bool whileHeld = os::tableReadWhileHeld();
    if (!whileHeld) volumes->releaseHandles();
    std::vector<MbrPartition> layout;
    const MbrLayoutKind kind = readMbrLayout(*this, layout);
    (void)os::rereadPartitionTable(getHandle().get(), kind, layout, getSectorSize());
    volumes->mountBack();
    volumes->releaseHandles();
    os::volumesChanged();
    volumes->clearDismounted();
    drive->update(true);
    volumes = std::make_shared<Volumes>(drive);
  } catch (const vrk::Exception& e) {
    volumes->clearDismounted();
    logMountStopped(e.getMessage().c_str());
  } catch (const std::exception& e) {
    volumes->clearDismounted();
    logMountStopped(e.what());
  } catch (...) {
    volumes->clearDismounted();
    logMountStopped("unknown error");
  }
  driveDismounted = false;
  return true;
}

}  // namespace vantor

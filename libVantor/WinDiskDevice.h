// libVantor/WinDiskDevice.h
// A whole physical drive, named by the locator that device enumeration reports
// ("/dev/sdb"), as a disk: sector transfers bypass the system cache (whole sectors from
// aligned memory, DiskBufferPointer), and the drive knows its volumes. dismountDrive takes
// them out of the system's hands (unmounted, and claimed so that nobody mounts them
// again) and answers false, with everything as it was, when one is busy; mountDrive
// makes the kernel read the partition table again and mounts back what was unmounted,
// where that still works (a failure there is logged, not thrown). A drive object
// destroyed while dismounted mounts its volumes back. The constructor throws
// ERR_DISK_ACCESS when the drive cannot be opened. Copies share the drive's volume
// bookkeeping; no locking: a drive and its copies are used from one thread at a time.
#pragma once
#include <memory>

#include <libVantor/Export.h>
#include <libVantor/WinDisk.h>

namespace libSysHost {
class WindowsDrive;
}

namespace vantor {

class Volumes;

class VANTOR_EXPORT WinDiskDevice : public WinDisk {
 public:
  explicit WinDiskDevice(const vrk::String& locator);
  WinDiskDevice(const WinDiskDevice& other);
  WinDiskDevice& operator=(const WinDiskDevice& other);
  ~WinDiskDevice() override;

  WinDiskDevice* clone() const override;

  // MEDIA_FIXED or MEDIA_REMOVABLE as the device library reports the drive.
  MediaType getMediaType() const override;
  // Replaces `mountPoints` with the mount directories of the drive's mounted volumes.
  void getMountPoints(vrk::Array<vrk::String>& mountPoints) const override;
  bool lockDrive() override;
  bool unlockDrive() override;
  bool dismountDrive() override;
  // Always true; volumes that cannot be mounted back are logged.
  bool mountDrive() override;

 private:
  bool driveDismounted = false;
  std::shared_ptr<libSysHost::WindowsDrive> drive;
  std::shared_ptr<Volumes> volumes;
};

}  // namespace vantor

// libVantor/WinDiskDevice.h
// A whole physical drive ("/dev/sdX") as a disk: uncached sector transfers (whole
// sectors from aligned memory), plus its volumes. dismountDrive unmounts them and holds
// them so nobody mounts them again; when one is busy, or refuses the lock because
// somebody else holds it, it answers false with everything as before. mountDrive makes
// the kernel read the partition table again and mounts back what was unmounted where the
// partition is still where it was (a failure there is logged, never thrown); so does the
// destructor of the object that performed the dismount. Throws ERR_DISK_ACCESS when the
// drive cannot be opened. Copies share the volume bookkeeping, but a copy (or an object
// assigned to) starts not dismounted: destroying it never mounts the volumes back under
// the object still writing; an object assigned to while dismounted mounts back first.
// No locking: a drive and its copies are used from one thread at a time.
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
  // Always true, and never throws; volumes that cannot be mounted back are logged.
  bool mountDrive() override;

 private:
  bool driveDismounted = false;
  std::shared_ptr<libSysHost::WindowsDrive> drive;
  std::shared_ptr<Volumes> volumes;
};

}  // namespace vantor

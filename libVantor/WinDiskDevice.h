// libVantor/WinDiskDevice.h
// A whole physical drive ("/dev/sdX", "\\.\PhysicalDriveN") as a disk: uncached sector
// transfers (whole sectors from aligned memory), plus its volumes. dismountDrive takes
// them off the drive and holds them so nobody mounts them again; when one is busy, or
// refuses the lock because somebody else holds it, it answers false with everything as
// before. mountDrive makes the system read the partition table again and gives back
// what was taken off, where the partition is still where it was (a failure there is
// logged, never thrown); so does the destructor of the object that performed the
// dismount. Throws ERR_DISK_ACCESS when the drive cannot be opened. A drive whose medium
// refuses writes (a write-protected card or key, a read-only device) opens for reading
// and reports isWriteProtected(); an empty card-reader slot opens as a drive of 0 bytes,
// so listing goes on past it (it is listed, as a drive without a medium, rather than
// left out). Copies share the volume bookkeeping, but a copy (or an object assigned to)
// starts not dismounted: destroying it never mounts the volumes back under the object
// still writing; an object assigned to while dismounted mounts back first.
// No locking: a drive and its copies are used from one thread at a time.
#pragma once
#include <atomic>
#include <memory>

#include <libVantor/Export.h>
#include <libVantor/WinDisk.h>

namespace libSysHost {
class WindowsDrive;
}

namespace vantor {

class SectorReadAhead;
class Volumes;

class VANTOR_EXPORT WinDiskDevice final : public WinDisk {
 public:
  explicit WinDiskDevice(const vrk::String& locator);
  WinDiskDevice(const WinDiskDevice& other);
  WinDiskDevice& operator=(const WinDiskDevice& other);
  ~WinDiskDevice() override;

  WinDiskDevice* clone() const override;

  // MEDIA_FIXED or MEDIA_REMOVABLE as the device library reports the drive.
  MediaType getMediaType() const override;
  // The device library's media kind of a drive (0 fixed, 1 removable, else unknown).
  static MediaType mediaTypeOf(u32 deviceLibraryMedia);
  // Replaces `mountPoints` with the mount directories of the drive's mounted volumes.
  void getMountPoints(vrk::Array<vrk::String>& mountPoints) const override;
  bool lockDrive() override;
  bool unlockDrive() override;
  bool dismountDrive() override;
  // Always true, and never throws; volumes that cannot be mounted back are logged.
  bool mountDrive() override;

  // The locator the drive was opened by.
  const vrk::String& getLocator() const { return locator_; }

  // Writing services refuse a drive that holds the running system (WriteSafety). A host
  // that means to write one all the same says so here; copies keep the choice.
  void setSystemWritesAllowed(bool allowed) { systemWritesAllowed = allowed; }
  bool getSystemWritesAllowed() const { return systemWritesAllowed; }

 protected:
  // A run of equal reads of consecutive sectors (single sectors, or chunks) is served,
  // from its second read on, from blocks read ahead of up to 1 MiB; a write, by this
  // object or a copy, drops what was read ahead, so a sector is never answered from
  // before a write.
  bool impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const override;
  // Notes the sectors in the volume bookkeeping before writing them, so that no volume
  // whose sectors changed is mounted back over the new data.
  bool impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) override;

 private:
  bool driveDismounted = false;
  bool systemWritesAllowed = false;
  vrk::String locator_;
  std::shared_ptr<libSysHost::WindowsDrive> drive;
  std::shared_ptr<Volumes> volumes;
  std::shared_ptr<std::atomic<u64>> writes;  // writes by this object and its copies, counted before and after each
  mutable std::unique_ptr<SectorReadAhead> readAhead;  // made at the first read; never copied
};

}  // namespace vantor

// libVantor/DiskDevice.h
// The caller's view of one drive: a display text, the drive's mount points as they
// were when the record was made, and the open disk, shared with every copy of the
// record (the disk closes when its last holder lets go). Enumeration makes these for
// the machine's drives; a caller may wrap any IDisk it holds, a file-backed disk for
// one, to run every service against it. The accessors ask the disk each time.
// No locking: the holders of one disk use it from one thread at a time.
#pragma once
#include <memory>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

class VANTOR_EXPORT DiskDevice final {
 public:
  DiskDevice(const vrk::String& description, std::shared_ptr<IDisk> disk);

  const vrk::String& description() const { return description_; }
  const vrk::Array<vrk::String>& mountPoints() const { return mountPoints_; }
  u64 capacityBytes() const { return disk_->getSizeBytes(); }
  u32 getSectorSize() const { return disk_->getSectorSize(); }
  MediaType getMediaType() const { return disk_->getMediaType(); }
  IDisk& rawDisk() { return *disk_; }
  const IDisk& rawDisk() const { return *disk_; }
  std::shared_ptr<IDisk> rawDiskPtr() { return disk_; }
  std::shared_ptr<const IDisk> rawDiskPtr() const { return disk_; }

  // The flags of enumDevices, to be or-ed together. Without ENUM_ALL_KINDS a drive is
  // listed only when the flag of its kind is set; with none of the four, none is.
  static constexpr u32 ENUM_FLOPPIES = 0x01;        // floppy drives too, after the disks
  static constexpr u32 ENUM_INTERNAL = 0x02;        // internal disks
  static constexpr u32 ENUM_USB = 0x04;             // USB-attached disks
  static constexpr u32 ENUM_CARDS = 0x08;           // memory cards
  static constexpr u32 ENUM_ALL_KINDS = 0x10;       // every kind
  static constexpr u32 ENUM_DROP_REMOVABLE = 0x20;  // leave out removable media (MEDIA_REMOVABLE)
  static constexpr u32 ENUM_DROP_FIXED = 0x40;      // leave out fixed media (MEDIA_FIXED)

  // Replaces `devices` with the machine's drives that pass `flags` (ENUM_...) and, when
  // not 0, have `sectorSize`-byte sectors. Each listed drive is opened; a drive that
  // cannot be opened ends the listing with its VantorException, the drives found
  // before it staying in `devices`.
  static void enumDevices(vrk::Array<DiskDevice>& devices, u32 flags, u16 sectorSize);

 private:
  std::shared_ptr<IDisk> disk_;
  vrk::String description_;
  vrk::Array<vrk::String> mountPoints_;
};

}  // namespace vantor

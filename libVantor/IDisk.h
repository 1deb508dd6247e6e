// libVantor/IDisk.h
// A disk addressed in whole sectors; every service of the library reads and writes
// drives through it. readSectors and writeSectors move sectorCount * getSectorSize()
// bytes or answer false: a short transfer is a failure, never zero-filled and passed as
// success, and after a false read the buffer's contents are unspecified. An installed
// IDiskDataFilter sees the data after each successful raw read and before each raw
// write, and may veto the write. A disk owns its filter; copies clone it. Services that
// write a disk call dismountDrive() first and mountDrive() after.
// No locking: use a disk, and its copies, from one thread at a time.
//
// The virtual operations are declared in the order of their slots, which is part of the
// binary interface shared with hosts: destructor, clone, impReadSectors, impWriteSectors,
// getSizeBytes, getSizeSectors, getSectorSize, getDiskGeometry, getMediaType,
// getMountPoints, lockDrive, unlockDrive, dismountDrive, mountDrive. IDiskDataFilter's
// are destructor, clone, filterReadData, filterWriteData.
#pragma once
#include <boost/optional.hpp>

#include <libVantor/Export.h>
#include <libVantor/Types.h>
#include <vrk/Array.h>
#include <vrk/String.h>

namespace vantor {

// Cylinder/head/sector address; sectors count from 1.
struct CHSAddress {
  u64 cylinder = 0;
  u32 head = 0;
  u64 sector = 0;
  friend bool operator==(const CHSAddress& a, const CHSAddress& b) {
    return a.cylinder == b.cylinder && a.head == b.head && a.sector == b.sector;
  }
};

struct DiskGeometry {
  u64 cylinders = 0;
  u32 tracksPerCylinder = 0;
  u32 sectorsPerTrack = 0;
  u32 bytesPerSector = 0;
};

// The kind of medium of a physical drive. Disks that are not physical drives, and
// drives of neither kind, answer MEDIA_UNKNOWN.
enum MediaType : u32 {
  MEDIA_REMOVABLE = 0,
  MEDIA_FIXED = 1,
  MEDIA_UNKNOWN = 2,
};

// Sees a disk's data on its way in and out. filterReadData may change the data just
// read and answer false to fail the read; filterWriteData answers false to veto the
// write (nothing then reaches the medium). clone() gives an independent copy.
class VANTOR_EXPORT IDiskDataFilter {
 public:
  IDiskDataFilter() = default;
  virtual ~IDiskDataFilter();
  virtual IDiskDataFilter* clone() const = 0;
  virtual bool filterReadData(u32 sectorOffset, void* buffer, u32 sectorCount) const;
  virtual bool filterWriteData(u32 sectorOffset, const void* buffer, u32 sectorCount);

 protected:
  IDiskDataFilter(const IDiskDataFilter&) = default;
  IDiskDataFilter& operator=(const IDiskDataFilter&) = default;
};

class VANTOR_EXPORT IDisk {
 public:
  IDisk() = default;
  IDisk(const IDisk& other);
  IDisk& operator=(const IDisk& other);
  virtual ~IDisk();

  // A new disk of the same kind on the same medium, owned by the caller.
  virtual IDisk* clone() const = 0;

 protected:
  // Implemented by each disk; called only by readSectors. `buffer` holds
  // sectorCount * getSectorSize() bytes. Return true only when every byte arrived.
  // Do not apply the data filter here: readSectors does.
  virtual bool impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const = 0;
  // Called only by writeSectors, after the filter agreed. The default refuses: a disk is
  // read-only unless it overrides this.
  virtual bool impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount);

 public:
  // Reads through the implementation, then lets the data filter see the data.
  [[nodiscard]] bool readSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const;
  // Lets the data filter see (and veto) the data, then writes through the implementation.
  [[nodiscard]] bool writeSectors(u32 sectorOffset, const void* buffer, u32 sectorCount);
  // The same transfers as readSectors or writeSectors called for each piece of
  // `pieceSectors` sectors in turn (the last may be shorter), the data filter seeing each
  // piece as such a call shows it, but the medium gets one request for them all. Answers
  // how many sectors from sectorOffset went through, a whole number of pieces: sectorCount
  // when every piece did, else the offset of the first piece that failed. When the one
  // request fails, the pieces go to the medium one at a time to find that piece; a
  // writing filter has then seen the pieces after it too, and a vetoed piece is never
  // written, nor anything after it.
  [[nodiscard]] u32 readSectorsInPieces(u32 sectorOffset, void* buffer, u32 sectorCount, u32 pieceSectors) const;
  [[nodiscard]] u32 writeSectorsInPieces(u32 sectorOffset, const void* buffer, u32 sectorCount, u32 pieceSectors);

  virtual u64 getSizeBytes() const = 0;
  virtual u32 getSizeSectors() const = 0;
  virtual u32 getSectorSize() const = 0;
  // False, and `geometry` untouched, when the disk has no geometry.
  virtual bool getDiskGeometry(DiskGeometry& geometry) const;
  virtual MediaType getMediaType() const;
  // Appends nothing unless the disk has mounted volumes.
  virtual void getMountPoints(vrk::Array<vrk::String>& mountPoints) const;
  virtual bool lockDrive();
  virtual bool unlockDrive();
  // Takes the disk's volumes out of the system's hands before a write; false when refused.
  virtual bool dismountDrive();
  // Gives the volumes back after the last write.
  virtual bool mountDrive();

  // Takes ownership of `filter` (null removes the filter) and deletes the one installed
  // before, unless it is the same object.
  void setDataFilter(IDiskDataFilter* filter);
  const IDiskDataFilter* getDataFilter() const { return dataFilter; }

  // The CHS address of `lba` by the disk's geometry; none without a geometry, past the
  // geometry's cylinders when `strict`, or when the address does not convert back to `lba`.
  boost::optional<CHSAddress> getCHSAddressFromLBA(u64 lba, bool strict) const;
  // The LBA of `address` by the disk's geometry; 0 for a disk without geometry.
  boost::optional<u64> getLBAAddressFromCHS(const CHSAddress& address) const;

 private:
  IDiskDataFilter* dataFilter = nullptr;  // owned
};

}  // namespace vantor

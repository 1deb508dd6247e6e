// libVantor/WinDisk.h
// A disk over one operating-system handle that can be positioned, read and written
// like a file: a drive or an image file. Each request is one seek and one transfer of
// whole sectors, never split, never retried; the caller chooses the piece size. The
// disk keeps its own duplicate of any handle it is given and closes it when destroyed.
// Its size is the one given to it; the geometry is asked of the device once and kept.
// Failed transfers are logged on "vantor.WinDisk" with the system's error and answered
// false. A short transfer (past the end of a file, where the call itself succeeds) is
// answered false without a record; past the end of a drive the call fails and is logged.
// A write refused because the medium went away throws ERR_MEDIA_CHANGED.
// No locking: a disk and its copies are used from one thread at a time.
#pragma once
#include <boost/optional.hpp>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>
#include <vrk/Resource.h>

namespace vantor {

class VANTOR_EXPORT WinDisk : public IDisk {
 public:
  using HandleHolder = vrk::FileHandle;

  WinDisk() = default;
  // Duplicates `handle` (the disk is without a handle when that fails).
  WinDisk(const HandleHolder& handle, u32 sectorSize, u64 sizeBytes);
  WinDisk(const WinDisk& other) = default;
  WinDisk(WinDisk&& other) noexcept;
  WinDisk& operator=(const WinDisk& other) = default;
  WinDisk& operator=(WinDisk&& other) noexcept;
  ~WinDisk() override;

  // A plain WinDisk copy of this disk, whatever this disk's own class.
  WinDisk* clone() const override;

  const HandleHolder& getHandle() const { return handle; }
  u64 getByteOffset(u32 sector) const { return u64(sector) * sectorSize; }

  u64 getSizeBytes() const override { return sizeBytes; }
  // sizeBytes / sectorSize cut to 32 bits; 0 without a sector size.
  u32 getSizeSectors() const override;
  u32 getSectorSize() const override { return sectorSize; }
  // The device's geometry, asked once after the first success and kept; false for files.
  bool getDiskGeometry(DiskGeometry& out) const override;

  virtual bool isOpen() const { return handle.isValid(); }
  // The medium refuses writes (a write-protected card or key, a read-only device): the
  // services that write refuse such a disk before they dismount anything.
  bool isWriteProtected() const { return writeProtected; }
  // The drive has no medium (an empty card-reader slot); it is write-protected as well.
  bool hasNoMedium() const { return noMedium; }

 protected:
  bool impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const override;
  bool impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) override;
  void setWriteProtected(bool value) { writeProtected = value; }
  void setNoMedium(bool value) { noMedium = value; }
  // Takes a duplicate of `handle` (unless it is this disk's own) and the two sizes.
  // A geometry read before stays cached.
  void setDiskParameters(const HandleHolder& handle, u32 sectorSize, u64 sizeBytes);
  void logTransferFailure(const char* number, const char* text, u32 sectorOffset, u32 sectorCount, int error) const;
  // A write that failed with the system's `error`: logged, and ERR_MEDIA_CHANGED thrown
  // when the medium is gone.
  void failedWrite(u32 sectorOffset, u32 sectorCount, int error) const;

 private:
  // `error` receives the system's code of a failed seek, taken at the failing call.
  bool setFilePointer(u64 byteOffset, int& error) const;

  u32 sectorSize = 0;
  u64 sizeBytes = 0;
  HandleHolder handle;
  mutable boost::optional<DiskGeometry> geometry;
  bool writeProtected = false;
  bool noMedium = false;
};

}  // namespace vantor

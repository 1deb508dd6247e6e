// libVantor/WinDiskFile.h
// An ordinary file presented as a disk of a chosen sector size, so that every service
// of the library can run against a file. The size is either given (the file is then
// made exactly that long: extended with zeros or cut) or taken from the file. A relative
// path is taken relative to the running program's directory, not the current one.
// The constructor never throws: a file that cannot be opened or sized shows in isOpen().
// No volumes, no media type (MEDIA_UNKNOWN), no geometry (so no CHS addresses).
// A transfer of whole 4 KiB blocks of the file, to or from memory aligned on 4 KiB, goes
// between the file system and memory past the system's page cache where the platform and
// the file system allow it (on Linux): writing a large disk file neither fills the cache
// nor waits on its writeback at the end, and a verify reads back what the file system
// holds, not the cache's copy. Any other transfer goes through the cache, and so does
// every one after the file system turned one down for its alignment. The system keeps the
// two ways coherent: a read sees every write, however each was made. A disk and its
// copies are used from one thread at a time.
#pragma once
#include <libVantor/Export.h>
#include <libVantor/WinDisk.h>

namespace vantor {

class VANTOR_EXPORT WinDiskFile final : public WinDisk {
 public:
  enum CreateDisposition : u32 {
    OpenExisting = 0,  // the file must exist
    OpenAlways = 1,    // created empty when missing
    OpenReadOnly = 2,  // the file must exist, and is opened for reading only: writes fail,
                       // and a size other than the file's own (or 0) is not opened
  };

  WinDiskFile(const vrk::String& path, CreateDisposition disposition, u32 sectorSize, u64 sizeBytes);
  WinDiskFile(const WinDiskFile&) = default;
  WinDiskFile(WinDiskFile&&) noexcept = default;
  WinDiskFile& operator=(const WinDiskFile&) = default;
  WinDiskFile& operator=(WinDiskFile&&) noexcept = default;
  ~WinDiskFile() override;

  WinDiskFile* clone() const override;
  // True when the file was opened and brought to its size at construction.
  bool isOpen() const override { return open; }
  // The file's absolute path.
  const vrk::String& getPath() const { return path_; }

 protected:
  bool impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const override;
  bool impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) override;

 private:
  bool expandFileToSpecifiedSize();
  bool goesUncached(u64 byteOffset, u64 byteCount, const void* buffer) const;
  // After an uncached transfer failed with the system's `error`, `transferred` bytes
  // moved: whether the file system turned it down before moving any, which sends it and
  // every later one through the cache. Any other failure is the transfer's own.
  bool turnedDown(u32 transferred, int error) const;

  bool open = false;
  vrk::String path_;
  HandleHolder uncached_;  // the file opened for uncached transfers; invalid without them
  mutable bool uncachedTurnedDown_ = false;
};

}  // namespace vantor

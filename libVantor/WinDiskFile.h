// libVantor/WinDiskFile.h
// An ordinary file presented as a disk of a chosen sector size, so that every service
// of the library can run against a file. The size is either given (the file is then
// made exactly that long: extended with zeros or cut) or taken from the file. A relative
// path is taken relative to the running program's directory, not the current one.
// The constructor never throws: a file that cannot be opened or sized shows in isOpen().
// No volumes, no media type (MEDIA_UNKNOWN), no geometry (so no CHS addresses).
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

 private:
  bool expandFileToSpecifiedSize();

  bool open = false;
  vrk::String path_;
};

}  // namespace vantor

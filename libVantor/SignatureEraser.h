// libVantor/SignatureEraser.h
// After an image was written onto a drive (or a boot key laid out), clears the
// file-system and partition-table signatures that the data written did not itself put
// there, so that neither the system nor a partition tool finds an old file system or a
// second table beside the new one: an ext superblock or a FAT, exFAT or NTFS boot sector
// at the start of the drive, and a GPT header at sector 1 or at the drive's last sector.
// Only sectors the written data did not cover are touched, and only the bytes of the
// signature's structure are zeroed. Reads and writes through IDisk; a failed transfer
// throws ERR_DISK_ACCESS naming the sector. Each erased signature is described in the
// answer ("ext4 superblock at sector 2"). No state.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

class VANTOR_EXPORT SignatureEraser final {
 public:
  // `written(sector)` answers whether the data just written covered that sector.
  static std::vector<std::string> eraseForeign(IDisk& drive, const std::function<bool(u64 sector)>& written);
  // The same, for a drive that an image file (every run of it) was just written onto.
  static std::vector<std::string> eraseForeign(IDisk& drive, const vrk::String& imagePath);
  // The same, for a drive that a raw source was just written onto (DiskImager::
  // startWritingDisk): every sector of it with `everySector`, else its used sectors.
  static std::vector<std::string> eraseForeign(IDisk& drive, IDisk& source, bool everySector);
};

}  // namespace vantor

// tools/vantor/support/RawSource.h
// The IMAGE of restore, verify and info when it is not a captured image: a disk file
// holding a whole disk (a downloaded disk image, a whole-drive dump) or a block device,
// told apart by content: a file that begins with an image header is an image, as
// before; any other existing file, and a block device, is a raw source, which the
// library must recognise (a partition table or a file system it knows). What it holds,
// the sizes and the writing are the library's (DiskImager::getSourceLayout and the raw
// source operations); this only opens it, read with a shared lock, and words a refusal.
// Failures throw VantorException; use from one thread.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DriveVolumes.h>

#include "Target.h"

namespace vantor::cli {

class RawSource {
 public:
  // Whether the IMAGE at the absolute `path` is to be read as a raw source.
  static bool isRaw(const std::string& path);
  // Opens the source `argument` (disk files as disks of `sectorSize` bytes a sector) and
  // asks the library what it holds; a source it does not recognise is refused with
  // ERR_INVALID_IMAGE_FILE, saying that nothing was written when `writing`.
  static RawSource open(const std::string& argument, std::uint32_t sectorSize, bool writing);
  // Another opening of the same source, for an operation of its own: the library reads
  // a source from one worker only.
  std::shared_ptr<IDisk> reopen() const;

  const std::string& path() const { return target_->path(); }
  IDisk& disk() const { return target_->device().rawDisk(); }
  const DRIVE_LAYOUT& layout() const { return layout_; }

 private:
  RawSource(std::string argument, std::uint32_t sectorSize, std::shared_ptr<Target> target, DRIVE_LAYOUT layout);

  std::string argument_;
  std::uint32_t sectorSize_;
  std::shared_ptr<Target> target_;
  DRIVE_LAYOUT layout_;
  mutable std::vector<std::shared_ptr<Target>> reopened_;  // kept open (and locked) while the source lives
};

}  // namespace vantor::cli

// tools/vantor/Target.h
// A command's TARGET: a block device node, opened as a physical drive through the
// disk factory, or a disk file, opened as a file-backed disk of the chosen sector size
// (created at --size when it does not exist and the command allows it). Paths are made
// absolute against the current directory before the library sees them, since the
// library resolves relative ones against the program's own directory. Opening for
// writing refuses a block device that holds a mounted system file system or active
// swap, and a disk file that backs a loop device, whatever the flags. A disk file (and
// the file behind a loop device that is written) stays locked while the target lives:
// exclusively when writing, shared when reading (DiskFileLock). Failures throw
// VantorException or UsageError. Before anything is opened, the paths alone tell
// whether targets and an image are one medium: refuseOverlaps and refuseAsImage refuse
// them with UsageError. The target shares its disk with its DiskDevice; use from one
// thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <libVantor/DiskDevice.h>

#include "DiskFileLock.h"

namespace vantor::cli {

struct TargetOptions {
  std::uint32_t sectorSize = 512;  // disk files only
  std::string size;                // disk files only: create one this large; empty for none
  bool mayCreate = false;          // the command accepts a new disk file
  bool forWriting = false;         // the command writes the target
};

class Target {
 public:
  static Target open(const std::string& argument, const TargetOptions& options);
  // `path` made absolute against the current directory (no symbolic links resolved).
  static std::string absolutePath(const std::string& path);
  // Refuses the targets of one command that name the image at `image`, the file behind a
  // loop device given as well, the same medium twice, or block devices where one is a
  // partition or holder of another. Asks the system about the paths only.
  static void refuseOverlaps(const std::vector<std::string>& arguments, const std::string& image);

  // Refuses an image path that is this target, or the file behind this loop device
  // (looked for only when `imageExists`).
  void refuseAsImage(const std::string& image, bool imageExists) const;

  const std::string& argument() const { return argument_; }
  const std::string& path() const { return path_; }
  bool isBlockDevice() const { return blockDevice_; }
  // This open made the disk file (it did not exist before).
  bool created() const { return created_; }
  DiskDevice& device() { return device_; }
  const DiskDevice& device() const { return device_; }

 private:
  Target(std::string argument, std::string path, bool blockDevice, DiskDevice device, DiskFileLock lock,
         bool created = false);

  std::string argument_;
  std::string path_;
  bool blockDevice_;
  bool created_;
  DiskFileLock lock_;  // declared first: released only after the disk is closed
  DiskDevice device_;
};

}  // namespace vantor::cli

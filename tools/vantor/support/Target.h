// tools/vantor/support/Target.h
// A command's TARGET: a block device node, opened as a physical drive through the
// disk factory, or a disk file, opened as a file-backed disk of the chosen sector size
// (created at --size when it does not exist and the command allows it). Paths are made
// absolute against the current directory before the library sees them, since the
// library resolves relative ones against the program's own directory. Opening for
// writing asks the library whether the target may be written at all (WriteSafety: not
// a drive holding the running system, nor a disk file behind a loop device), so that
// the refusal comes before any question to the user; the library asks again when it
// writes. A disk file stays locked while the target lives: exclusively when writing,
// shared when reading (DiskFileLock). Failures throw VantorException or UsageError.
// Several targets of one command must be distinct media: refuseRepeats (on the paths,
// before anything is opened) and refuseOverlaps (asking the library) refuse them with
// UsageError. The target shares its disk with its DiskDevice; use from one thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFileLock.h>

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
  // Refuses a path given twice among the targets of one command.
  static void refuseRepeats(const std::vector<std::string>& arguments);
  // Refuses opened targets of which two share a medium (a drive and its partition, a
  // loop device and the file behind it).
  static void refuseOverlaps(const std::vector<const Target*>& targets);

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

#include "Target.h"

#include <filesystem>
#include <memory>
#include <set>

#include <libVantor/DiskFactory.h>
#include <libVantor/DriveListing.h>
#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/WriteSafety.h>

#include "DriveName.h"
#include "Units.h"
#include "UsageError.h"
#include "Utf8Path.h"

namespace vantor::cli {

std::string Target::absolutePath(const std::string& path) {
  if (PathFacts::isDrivePath(path)) return path;  // "\\.\PhysicalDrive1" is complete as it is
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(fsPath(path), ec);
  return ec ? path : utf8Path(absolute.lexically_normal());
}

Target::Target(std::string argument, std::string path, bool blockDevice, DiskDevice device, DiskFileLock lock,
               bool created)
    : argument_(std::move(argument)),
      path_(std::move(path)),
      blockDevice_(blockDevice),
      created_(created),
      lock_(std::move(lock)),
      device_(std::move(device)) {}

void Target::refuseRepeats(const std::vector<std::string>& arguments) {
  std::set<std::string> seen;
  for (const std::string& argument : arguments) {
    if (!seen.insert(PathFacts::identity(Target::absolutePath(argument))).second) {
      throw UsageError("target given twice: " + argument);
    }
  }
}

void Target::refuseOverlaps(const std::vector<const Target*>& targets) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (WriteSafety::shareMedium(targets[i]->device().rawDisk(), targets[j]->device().rawDisk())) {
        throw UsageError("target " + targets[i]->argument() + " overlaps another target");
      }
    }
  }
}

Target Target::open(const std::string& argument, const TargetOptions& options) {
  const std::string path = absolutePath(argument);
  const PathFacts::Info info = PathFacts::inspect(path);
  if (info.kind == PathFacts::Kind::Drive) {
    if (!options.size.empty()) throw UsageError("--size applies to disk files, not to the block device " + argument);
    std::shared_ptr<IDisk> disk = DiskFactory::getDiskDevice(path);
    if (options.forWriting) WriteSafety::refuseUnsafeWrites(*disk);  // before anybody is asked to confirm
    LISTED_DRIVE listed;
    std::string name;
    if (DriveListing::find(path, listed, DriveListing::WITHOUT_VOLUMES)) {
      name = DriveName::of(listed);
    } else {
      std::error_code ec;
      const std::filesystem::path real = std::filesystem::canonical(fsPath(path), ec);  // "sdb" for a by-id link
      name = utf8Path((ec ? fsPath(path) : real).filename());
    }
    const std::string text = name + " (" + Units::bytes(disk->getSizeBytes()) + ")";
    return Target(argument, path, true, DiskDevice(text, disk), DiskFileLock());
  }
  const bool exists = info.kind != PathFacts::Kind::Missing;
  if (exists && info.kind != PathFacts::Kind::Regular) {
    throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("\"") + argument + "\" is neither a block device nor a disk file");
  }
  if (!exists && PathFacts::isDrivePath(path)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::String("no such device: ") + path);
  }
  if (options.sectorSize < 512 || options.sectorSize > 65536 || (options.sectorSize & (options.sectorSize - 1)) != 0) {
    throw UsageError("--sector-size must be a power of two from 512 to 65536");
  }

  std::uint64_t sizeBytes = 0;
  if (!options.size.empty()) {
    sizeBytes = Units::parseSize(options.size);
    if (sizeBytes == 0 || sizeBytes % options.sectorSize != 0) {
      throw UsageError("--size must be a non-zero multiple of the sector size (" + std::to_string(options.sectorSize) +
                       ")");
    }
    if (exists && info.size != sizeBytes) {
      throw UsageError("--size is for creating a disk file; " + argument + " exists and is " +
                       std::to_string(info.size) + " bytes");
    }
    if (!exists && !options.mayCreate) throw UsageError("this command does not create disk files");
  } else if (!exists) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("no such disk file: ") + path +
                                               (options.mayCreate ? " (give --size to create one)" : ""));
  }

  if (!exists) {
    // Made here, empty, so that it is this run's own file and locked before the library
    // sizes it; a file of that name that appeared meanwhile is left alone.
    const std::string failure = PathFacts::createNew(path);
    if (!failure.empty()) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot create disk file ") + path + ": " + failure);
    }
  }
  struct RemoveUnlessOpened {
    const std::string& path;
    bool remove;
    ~RemoveUnlessOpened() {
      if (remove) PathFacts::remove(path);
    }
  } created{path, !exists};
  DiskFileLock lock = DiskFileLock::acquire(path, options.forWriting);

  // A file only read (a capture's source, a raw image, a target verified) is opened for
  // reading alone, so that a file the user may not write is read all the same.
  auto file = std::make_shared<WinDiskFile>(
      path, options.forWriting ? WinDiskFile::OpenExisting : WinDiskFile::OpenReadOnly, options.sectorSize, sizeBytes);
  if (!file->isOpen()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path +
                                               (options.forWriting ? " for writing" : ""));
  }
  if (options.forWriting) WriteSafety::refuseUnsafeWrites(*file);
  created.remove = false;
  const std::string text = "disk file " + path + " (" + Units::bytes(file->getSizeBytes()) + ")";
  return Target(argument, path, false, DiskDevice(text, file), std::move(lock), !exists);
}

}  // namespace vantor::cli

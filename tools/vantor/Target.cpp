#include "Target.h"

#include <filesystem>
#include <memory>
#include <set>

#include <libVantor/DiskFactory.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "BlockDevice.h"
#include "FileFacts.h"
#include "Units.h"
#include "UsageError.h"
#include "Utf8Path.h"

namespace vantor::cli {

std::string Target::absolutePath(const std::string& path) {
  if (BlockDevice::isDevicePath(path)) return path;  // "\\.\PhysicalDrive1" is complete as it is
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

namespace {

// A disk file that backs a loop device is that device's medium: writing it underneath
// is refused as a busy drive would be, mounted or not.
void refuseIfBacksLoopDevice(const std::string& path) {
  const std::vector<std::string> loops = BlockDevice::loopDevicesBackedBy(path);
  if (loops.empty()) return;
  std::string users;
  for (const std::string& loop : loops) {
    users += (users.empty() ? "" : ", ") + loop;
    const std::vector<std::string> mounts = BlockDevice(loop).mountPoints();
    for (std::size_t i = 0; i < mounts.size(); ++i) users += (i == 0 ? " (mounted at " : ", ") + mounts[i];
    if (!mounts.empty()) users += ")";
  }
  throw VantorException(ERR_DISMOUNT_FAILED, vrk::String("disk file ") + path + " is in use by the loop device " +
                                                 users + "; free it first (umount, losetup -d); nothing was written");
}

// The file behind a loop device target, as FileFacts::identity() keys it; "" for anything else.
std::string backingIdentity(const std::string& path) {
  if (!BlockDevice::isBlockDevice(path)) return std::string();
  const std::string backing = BlockDevice(path).backingFile();
  return backing.empty() ? std::string() : FileFacts::identity(backing);
}

}  // namespace

void Target::refuseOverlaps(const std::vector<std::string>& arguments, const std::string& image) {
  const std::string imageIdentity = FileFacts::identity(image);
  // What each target occupies: its own identity, the file behind it when it is a loop
  // device, and for a block device its partitions and holders.
  struct Occupied {
    std::string identity;
    std::string backing;
    bool block = false;
    dev_t device = 0;
    std::set<dev_t> family;
  };
  std::vector<Occupied> occupied;
  for (const std::string& argument : arguments) {
    const std::string path = Target::absolutePath(argument);
    Occupied mine;
    mine.identity = FileFacts::identity(path);
    mine.backing = backingIdentity(path);
    if (BlockDevice::isBlockDevice(path)) {
      const BlockDevice block(path);
      mine.block = true;
      mine.device = block.deviceNumber();
      mine.family = block.family();
    }
    if (mine.identity == imageIdentity) throw UsageError("the image cannot be written onto itself");
    if (mine.backing == imageIdentity) {
      throw UsageError("the image cannot be written onto " + argument + ": the loop device is backed by the image");
    }
    for (const Occupied& other : occupied) {
      if (other.identity == mine.identity) throw UsageError("target given twice: " + argument);
      const bool overlapping =
          (mine.block && other.block && (other.family.count(mine.device) != 0 || mine.family.count(other.device) != 0)) ||
          (!mine.backing.empty() && (mine.backing == other.identity || mine.backing == other.backing)) ||
          (!other.backing.empty() && other.backing == mine.identity);
      if (overlapping) throw UsageError("target " + argument + " overlaps another target");
    }
    occupied.push_back(std::move(mine));
  }
}

void Target::refuseAsImage(const std::string& image, bool imageExists) const {
  if (FileFacts::sameFile(path_, image)) throw UsageError("the image cannot be the target itself");
  const std::string backing = backingIdentity(path_);
  if (imageExists && !backing.empty() && backing == FileFacts::identity(image)) {
    throw UsageError("the image cannot be the file behind the loop device " + path_);
  }
}

Target Target::open(const std::string& argument, const TargetOptions& options) {
  const std::string path = absolutePath(argument);
  if (BlockDevice::isBlockDevice(path)) {
    if (!options.size.empty()) throw UsageError("--size applies to disk files, not to the block device " + argument);
    const BlockDevice block(path);
    if (options.forWriting) {
      const std::string use = block.systemUse();
      if (!use.empty()) {
        throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("refusing to write ") + path + ": it holds the running system (" +
                                                        use + ")");
      }
    }
    // The file behind a loop device that is written is locked like a disk file target.
    DiskFileLock lock;
    const std::string backing = options.forWriting ? block.backingFile() : std::string();
    if (!backing.empty() && FileFacts::inspect(backing).kind != FileFacts::Kind::Missing) {
      lock = DiskFileLock::acquire(backing, true);
    }
    std::shared_ptr<IDisk> disk = DiskFactory::getDiskDevice(path);
    const std::string text = block.description() + " (" + Units::bytes(disk->getSizeBytes()) + ")";
    return Target(argument, path, true, DiskDevice(text, disk), std::move(lock));
  }
  const FileFacts::Info info = FileFacts::inspect(path);
  const bool exists = info.kind != FileFacts::Kind::Missing;
  if (exists && info.kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("\"") + argument + "\" is neither a block device nor a disk file");
  }
  if (!exists && BlockDevice::isDevicePath(path)) {
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
    const std::string failure = FileFacts::createNew(path);
    if (!failure.empty()) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot create disk file ") + path + ": " + failure);
    }
  }
  struct RemoveUnlessOpened {
    const std::string& path;
    bool remove;
    ~RemoveUnlessOpened() {
      if (remove) FileFacts::remove(path);
    }
  } created{path, !exists};
  DiskFileLock lock = DiskFileLock::acquire(path, options.forWriting);
  if (options.forWriting) refuseIfBacksLoopDevice(path);

  auto file = std::make_shared<WinDiskFile>(path, WinDiskFile::OpenExisting, options.sectorSize, sizeBytes);
  if (!file->isOpen()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path +
                                               (options.forWriting ? " for writing" : ""));
  }
  created.remove = false;
  const std::string text = "disk file " + path + " (" + Units::bytes(file->getSizeBytes()) + ")";
  return Target(argument, path, false, DiskDevice(text, file), std::move(lock), !exists);
}

}  // namespace vantor::cli

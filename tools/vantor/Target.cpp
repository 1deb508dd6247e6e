#include "Target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <libVantor/DiskFactory.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "BlockDevice.h"
#include "Units.h"
#include "UsageError.h"

namespace vantor::cli {

std::string Target::absolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

Target::Target(std::string argument, std::string path, bool blockDevice, DiskDevice device, bool created)
    : argument_(std::move(argument)),
      path_(std::move(path)),
      blockDevice_(blockDevice),
      created_(created),
      device_(std::move(device)) {}

Target Target::open(const std::string& argument, const TargetOptions& options) {
  const std::string path = absolutePath(argument);
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;

  if (exists && S_ISBLK(info.st_mode)) {
    if (!options.size.empty()) throw UsageError("--size applies to disk files, not to the block device " + argument);
    const BlockDevice block(path);
    if (options.forWriting) {
      const std::string use = block.systemUse();
      if (!use.empty()) {
        throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("refusing to write ") + path + ": it holds the running system (" +
                                                        use + ")");
      }
    }
    std::shared_ptr<IDisk> disk = DiskFactory::getDiskDevice(path);
    const std::string text = block.description() + " (" + Units::bytes(disk->getSizeBytes()) + ")";
    return Target(argument, path, true, DiskDevice(text, disk));
  }
  if (exists && !S_ISREG(info.st_mode)) {
    throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("\"") + argument + "\" is neither a block device nor a disk file");
  }
  if (!exists && path.rfind("/dev/", 0) == 0) {
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
    if (exists && static_cast<std::uint64_t>(info.st_size) != sizeBytes) {
      throw UsageError("--size is for creating a disk file; " + argument + " exists and is " +
                       std::to_string(info.st_size) + " bytes");
    }
    if (!exists && !options.mayCreate) throw UsageError("this command does not create disk files");
  } else if (!exists) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("no such disk file: ") + path +
                                               (options.mayCreate ? " (give --size to create one)" : ""));
  }

  auto file = std::make_shared<WinDiskFile>(path, exists ? WinDiskFile::OpenExisting : WinDiskFile::OpenAlways,
                                            options.sectorSize, sizeBytes);
  if (!file->isOpen()) {
    if (!exists) (void)::unlink(path.c_str());
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open disk file ") + path +
                                               (options.forWriting ? " for writing" : ""));
  }
  const std::string text = "disk file " + path + " (" + Units::bytes(file->getSizeBytes()) + ")";
  return Target(argument, path, false, DiskDevice(text, file), !exists);
}

}  // namespace vantor::cli

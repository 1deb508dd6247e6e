// vantor capture, restore and zero: the three long operations, run by the imaging
// engine on its worker threads while the main thread shows progress.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "BlockDevice.h"
#include "Commands.h"
#include "ErrorReport.h"
#include "FatVolumeFacts.h"
#include "FileFacts.h"
#include "ImageFile.h"
#include "ImageSums.h"
#include "LogOutput.h"
#include "OperationRunner.h"
#include "PartialImage.h"
#include "Target.h"
#include "TargetGuard.h"
#include "Units.h"
#include "UsageError.h"
#include "WriteWitness.h"

namespace vantor::cli {
namespace {

// The disk files a command made for its targets: removed again unless the command got
// as far as writing them.
class CreatedFiles {
 public:
  ~CreatedFiles() {
    if (keep_) return;
    for (const std::string& path : paths_) FileFacts::remove(path);
  }
  void add(const Target& target) {
    if (target.created()) paths_.push_back(target.path());
  }
  void keep() { keep_ = true; }

 private:
  std::vector<std::string> paths_;
  bool keep_ = false;
};

// An image argument must be a regular file (symbolic links followed) when it exists.
void requireRegularImage(const std::string& path, const std::string& argument) {
  const FileFacts::Kind kind = FileFacts::inspect(path).kind;
  if (kind != FileFacts::Kind::Missing && kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + argument + "\" is not a regular file" +
                                               (kind == FileFacts::Kind::Directory ? " (a directory)" : "") +
                                               "; an image is always a regular file");
  }
}

// The file behind a loop device target, as FileFacts::identity() keys it; "" for anything else.
std::string backingIdentity(const std::string& path) {
  if (!BlockDevice::isBlockDevice(path)) return std::string();
  const std::string backing = BlockDevice(path).backingFile();
  return backing.empty() ? std::string() : FileFacts::identity(backing);
}

// ---- capture --------------------------------------------------------------------------

struct CaptureOptions {
  std::string target;
  std::string image;
  bool wholeDrive = false;
  bool allowVolumeBeyondDrive = false;
  bool force = false;
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

int runCapture(const CaptureOptions& options) {
  std::string image = Target::absolutePath(options.image);
  const bool link = FileFacts::isSymbolicLink(image);
  const bool exists = link || FileFacts::inspect(image).kind != FileFacts::Kind::Missing;
  if (exists) {
    // Whatever --force says, only a regular file is ever replaced: never a device node.
    if (FileFacts::inspect(image).kind == FileFacts::Kind::Missing) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + options.image +
                                                 "\" is a symbolic link to nothing; refusing to write through it");
    }
    requireRegularImage(image, options.image);
    if (!options.force) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("image file ") + image + " exists (--force replaces it)");
    }
    // Replace the file the link names, not the link.
    if (link) image = std::filesystem::canonical(image).string();
  }
  Target target = Target::open(options.target, options.targetOptions);
  if (FileFacts::sameFile(target.path(), image)) throw UsageError("the image cannot be the target itself");
  const std::string backing = backingIdentity(target.path());
  if (exists && !backing.empty() && backing == FileFacts::identity(image)) {
    throw UsageError("the image cannot be the file behind the loop device " + target.path());
  }
  if (target.isBlockDevice() && !target.device().mountPoints().empty()) {
    std::cerr << "vantor: warning: " << target.path()
              << " is mounted; files changing during the capture may be captured half-written\n";
  }

  PartialImage partial(image);
  DiskImager imager(target.device());
  if (options.allowVolumeBeyondDrive) imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  OperationRunner runner(options.progress);
  runner.attach(imager, target.argument(), "capture " + target.argument() + " -> " + options.image,
                options.wholeDrive ? target.device().capacityBytes() : 0, partial.path());
  // The library's sector size refusal names no volume: the boot sectors tell which.
  runner.explainFailures([&target](const ProgressBoard::Line& failed) {
    if (failed.code != ERR_GENERAL) return std::string();
    return FatVolumeFacts::sectorSizeMismatches(target.device().rawDisk());
  });
  if (!imager.startReadingImage(partial.path(), false, options.wholeDrive)) {
    throw VantorException(ERR_GENERAL, "the capture could not be started");
  }
  const int status = runner.wait();
  if (status != 0) return status;
  partial.commit(options.force);
  if (!options.wholeDrive) ImageSums::write(image);  // a raw dump has no run table to sum

  if (options.wholeDrive) {
    std::cout << "Captured the whole of " << target.path() << " into " << image << " ("
              << Units::bytes(target.device().capacityBytes()) << ", no header: a raw dump)\n";
  } else {
    const ImageFile facts = ImageFile::read(image);
    std::cout << "Captured " << Units::bytes(facts.usedBytes()) << " of used sectors in " << facts.runCount
              << " runs from " << target.path() << " into " << image << " (" << Units::bytes(facts.fileSize)
              << ")\n";
  }
  return 0;
}

void addCapture(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<CaptureOptions>();
  CLI::App* command = app.add_subcommand("capture", "Capture the used sectors of a drive or disk file into an image");
  command->add_option("TARGET", options->target, "Block device or disk file to read")->required();
  command->add_option("IMAGE", options->image, "Image file to write")->required();
  command->add_flag("--whole-drive", options->wholeDrive, "Dump every sector, without a header (restore cannot read it)");
  command->add_flag("--allow-volume-beyond-drive", options->allowVolumeBeyondDrive,
                    "Accept a partition that reaches past the end of the drive");
  command->add_flag("--force", options->force, "Replace an existing image file");
  addTargetOptions(*command, options->targetOptions, false);
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runCapture(*options); }; });
}

// ---- restore --------------------------------------------------------------------------

struct RestoreOptions {
  std::string image;
  std::vector<std::string> targets;
  bool verify = false;
  bool allowVolumeTooLarge = false;
  bool yes = false;
  bool force = false;
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

bool isValidSectorSize(std::uint32_t bytes) { return bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0; }

int runRestore(RestoreOptions options) {
  const std::string image = Target::absolutePath(options.image);
  requireRegularImage(image, options.image);
  const ImageFile facts = ImageFile::read(image);
  ImageSums::requireIntact(image);  // one read pass, before any target is opened
  const std::string imageIdentity = FileFacts::identity(image);
  // A disk file has no sector size of its own: unless told, it takes the image's.
  if (options.targetOptions.sectorSize == 0) {
    if (!isValidSectorSize(facts.sectorSize)) {
      throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the image ") + image + " gives " +
                                                        std::to_string(facts.sectorSize) +
                                                        "-byte sectors in its header (field sectorSize); a sector is "
                                                        "a power of two from 512 to 65536 bytes");
    }
    options.targetOptions.sectorSize = facts.sectorSize;
  }
  options.targetOptions.forWriting = true;

  // What each target occupies: its own identity, the file behind it when it is a loop
  // device, and for a block device its partitions and holders.
  struct Occupied {
    std::string identity;
    std::string backing;
    bool block = false;
    dev_t device = 0;
    std::set<dev_t> family;
  };
  // Checked on the paths before any target is opened (and locked, or created).
  std::vector<Occupied> occupied;
  for (const std::string& argument : options.targets) {
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
  CreatedFiles created;
  std::vector<std::unique_ptr<Target>> targets;
  for (const std::string& argument : options.targets) {
    targets.push_back(std::make_unique<Target>(Target::open(argument, options.targetOptions)));
    created.add(*targets.back());
  }

  // Every target is checked before any is written.
  std::vector<std::unique_ptr<DiskImager>> imagers;
  for (const auto& target : targets) {
    auto imager = std::make_unique<DiskImager>(target->device());
    if (options.allowVolumeTooLarge) imager->setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
    bool compatible = true;
    try {
      // The start repeats this check and logs its warnings; here it only has to throw.
      const LogOutput::Mute mute;
      (void)imager->checkImageCompatibility(image, compatible, true);
    } catch (const VantorException& error) {
      throw VantorException(error.getErrorCode(), vrk::String(target->argument()) + ": " + error.getMessage());
    }
    imagers.push_back(std::move(imager));
  }
  TargetGuard guard(options.yes, options.force);
  for (const auto& target : targets) guard.add(*target);
  guard.require("overwrite the disk with the image " + image);

  created.keep();
  OperationRunner runner(options.progress);
  std::vector<WriteWitness::Flag> written;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], targets[i]->argument(), "restore -> " + targets[i]->argument(), facts.usedBytes(), "");
    written.push_back(WriteWitness::install(targets[i]->device().rawDisk()));
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!imagers[i]->startWritingImage(image, false, false, options.verify, nullptr)) {
      throw VantorException(ERR_GENERAL, vrk::String("the restore onto ") + targets[i]->path() + " could not be started");
    }
  }
  const int status = runner.wait();
  const std::vector<ProgressBoard::Line> lines = runner.outcome();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lines[i].status == ProgressBoard::Status::Succeeded) {
      std::cout << "Restored " << Units::bytes(facts.usedBytes()) << " onto " << targets[i]->path()
                << (options.verify ? " (verified)" : "") << "\n";
    } else if (written[i]->load()) {
      std::cerr << "vantor: " << targets[i]->path() << " may be left partly written\n";
    }
  }
  return status;
}

void addRestore(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<RestoreOptions>();
  options->targetOptions.sectorSize = 0;
  CLI::App* command =
      app.add_subcommand("restore", "Write an image onto one or more drives or disk files at once");
  command->add_option("IMAGE", options->image, "Image file to read")->required();
  command->add_option("TARGET", options->targets, "Block devices or disk files to write")->required();
  command->add_flag("--verify", options->verify, "Read every chunk back and compare it");
  command->add_flag("--allow-volume-too-large", options->allowVolumeTooLarge,
                    "Accept a target smaller than the image's volume");
  command->add_flag("-y,--yes", options->yes, "Do not ask before writing block devices");
  command->add_flag("--force", options->force,
                    "Do not ask at all: also overwrite a target that holds a captured image");
  command->add_option("--sector-size", options->targetOptions.sectorSize,
                      "Sector size of disk file targets (default: the image's)");
  options->targetOptions.mayCreate = true;
  command->add_option("--size", options->targetOptions.size,
                      "Create missing disk file targets of this size (suffixes K, M, G, T: 64M, 1G)");
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runRestore(*options); }; });
}

// ---- zero -----------------------------------------------------------------------------

struct ZeroOptions {
  std::string target;
  std::vector<std::string> ranges;
  bool yes = false;
  bool force = false;
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

int runZero(ZeroOptions options) {
  options.targetOptions.forWriting = true;
  CreatedFiles created;
  Target target = Target::open(options.target, options.targetOptions);
  created.add(target);
  const u32 sectors = target.device().rawDisk().getSizeSectors();

  const std::uint64_t sectorSize = target.device().getSectorSize();
  boost::optional<std::vector<std::pair<u64, u64>>> ranges;
  std::uint64_t totalSectors = sectors;
  TargetGuard::Spans zeroed{{0, sectors * sectorSize}};
  if (!options.ranges.empty()) {
    // Checked here in full, so that a bad range never leaves the ranges before it zeroed.
    std::vector<std::pair<u64, u64>> given;
    for (const std::string& text : options.ranges) {
      const std::pair<std::uint64_t, std::uint64_t> range = Units::parseRange(text);
      if (range.first > range.second) throw UsageError("range " + text + " ends before it starts");
      if (range.second >= sectors) {
        throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("range ") + text + " reaches past the last sector (" +
                                                        std::to_string(sectors ? sectors - 1 : 0) + ")");
      }
      given.push_back(range);
    }
    // Ranges that overlap or touch become one, so that each sector is zeroed and counted once.
    std::sort(given.begin(), given.end());
    ranges.emplace();
    for (const auto& range : given) {
      if (!ranges->empty() && range.first <= ranges->back().second + 1) {
        ranges->back().second = std::max(ranges->back().second, range.second);
      } else {
        ranges->push_back(range);
      }
    }
    totalSectors = 0;
    zeroed.clear();
    for (const auto& range : *ranges) {
      totalSectors += range.second - range.first + 1;
      zeroed.emplace_back(range.first * sectorSize, (range.second - range.first + 1) * sectorSize);
    }
  }
  TargetGuard guard(options.yes, options.force);
  guard.addZeroed(target, zeroed);
  guard.require(ranges ? "overwrite " + std::to_string(totalSectors) + " sector(s) in " +
                             std::to_string(ranges->size()) + " range(s) with zeros"
                       : "overwrite every sector with zeros");

  created.keep();
  DiskImager imager(target.device());
  OperationRunner runner(options.progress);
  runner.attach(imager, target.argument(), "zero " + target.argument(), totalSectors * sectorSize, std::string());
  if (!imager.startZeroingDisk(false, ranges)) throw VantorException(ERR_GENERAL, "zeroing could not be started");
  const int status = runner.wait();
  if (status == 0) {
    std::cout << "Zeroed " << totalSectors << " sectors (" << Units::bytes(totalSectors * sectorSize) << ") of "
              << target.path() << "\n";
  }
  return status;
}

void addZero(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<ZeroOptions>();
  CLI::App* command = app.add_subcommand("zero", "Write zeros over a drive or disk file, whole or in sector ranges");
  command->add_option("TARGET", options->target, "Block device or disk file to zero")->required();
  command
      ->add_option("--range", options->ranges, "Inclusive sector range FIRST-LAST (decimal or 0x hex); repeatable")
      ->allow_extra_args(false);
  command->add_flag("-y,--yes", options->yes, "Do not ask before writing a block device");
  command->add_flag("--force", options->force,
                    "Do not ask at all: also zero a captured image or a disk file that holds data");
  addTargetOptions(*command, options->targetOptions, true);
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runZero(*options); }; });
}

}  // namespace

void addCaptureCommand(CLI::App& app, CommandAction& action) { addCapture(app, action); }
void addRestoreCommand(CLI::App& app, CommandAction& action) { addRestore(app, action); }
void addZeroCommand(CLI::App& app, CommandAction& action) { addZero(app, action); }

}  // namespace vantor::cli

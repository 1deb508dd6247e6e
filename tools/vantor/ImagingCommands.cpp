// vantor capture, restore and zero: the three long operations, run by the imaging
// engine on its worker threads while the main thread shows progress.
#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <set>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "Confirmation.h"
#include "ErrorReport.h"
#include "ImageFile.h"
#include "LogOutput.h"
#include "OperationRunner.h"
#include "Target.h"
#include "Units.h"
#include "UsageError.h"

namespace vantor::cli {
namespace {

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// ---- capture --------------------------------------------------------------------------

struct CaptureOptions {
  std::string target;
  std::string image;
  bool wholeDrive = false;
  bool allowVolumeBeyondDrive = false;
  bool force = false;
  TargetOptions targetOptions;
};

int runCapture(const CaptureOptions& options) {
  const std::string image = Target::absolutePath(options.image);
  if (fileExists(image) && !options.force) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("image file ") + image + " exists (--force replaces it)");
  }
  Target target = Target::open(options.target, options.targetOptions);
  if (sameFile(target.path(), image)) throw UsageError("the image cannot be the target itself");
  if (target.isBlockDevice() && !target.device().mountPoints().empty()) {
    std::cerr << "vantor: warning: " << target.path()
              << " is mounted; files changing during the capture may be captured half-written\n";
  }

  DiskImager imager(target.device());
  if (options.allowVolumeBeyondDrive) imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  OperationRunner runner;
  runner.attach(imager, "capture " + target.argument() + " -> " + options.image,
                options.wholeDrive ? target.device().capacityBytes() : 0, image);
  if (!imager.startReadingImage(image, false, options.wholeDrive)) {
    throw VantorException(ERR_GENERAL, "the capture could not be started");
  }
  const int status = runner.wait();
  if (status != 0) return status;

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
  command->callback([options, &action] { action = [options] { return runCapture(*options); }; });
}

// ---- restore --------------------------------------------------------------------------

struct RestoreOptions {
  std::string image;
  std::vector<std::string> targets;
  bool verify = false;
  bool allowVolumeTooLarge = false;
  bool yes = false;
  TargetOptions targetOptions;
};

int runRestore(RestoreOptions options) {
  const std::string image = Target::absolutePath(options.image);
  const ImageFile facts = ImageFile::read(image);
  // A disk file has no sector size of its own: unless told, it takes the image's.
  if (options.targetOptions.sectorSize == 0) options.targetOptions.sectorSize = facts.sectorSize;
  options.targetOptions.forWriting = true;

  std::vector<std::unique_ptr<Target>> targets;
  std::set<std::string> seen;
  for (const std::string& argument : options.targets) {
    auto target = std::make_unique<Target>(Target::open(argument, options.targetOptions));
    if (!seen.insert(target->path()).second) throw UsageError("target given twice: " + argument);
    if (sameFile(target->path(), image)) throw UsageError("the image cannot be written onto itself");
    targets.push_back(std::move(target));
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
  std::vector<const Target*> asked;
  for (const auto& target : targets) asked.push_back(target.get());
  Confirmation::require(asked, "overwrite the disk with the image " + image, options.yes);

  OperationRunner runner;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], "restore -> " + targets[i]->argument(), facts.usedBytes(), std::string());
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!runner.onTerminal() && targets.size() > 1) std::cout << "Restoring onto " << targets[i]->path() << "\n";
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
    } else if (lines[i].status != ProgressBoard::Status::Waiting) {
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
  command->add_option("--sector-size", options->targetOptions.sectorSize,
                      "Sector size of disk file targets (default: the image's)");
  options->targetOptions.mayCreate = true;
  command->add_option("--size", options->targetOptions.size,
                      "Create missing disk file targets of this size (suffixes K, M, G, T: 64M, 1G)");
  command->callback([options, &action] { action = [options] { return runRestore(*options); }; });
}

// ---- zero -----------------------------------------------------------------------------

struct ZeroOptions {
  std::string target;
  std::vector<std::string> ranges;
  bool yes = false;
  TargetOptions targetOptions;
};

int runZero(ZeroOptions options) {
  options.targetOptions.forWriting = true;
  Target target = Target::open(options.target, options.targetOptions);
  const u32 sectors = target.device().rawDisk().getSizeSectors();

  boost::optional<std::vector<std::pair<u64, u64>>> ranges;
  std::uint64_t totalSectors = sectors;
  if (!options.ranges.empty()) {
    ranges.emplace();
    totalSectors = 0;
    // Checked here in full, so that a bad range never leaves the ranges before it zeroed.
    for (const std::string& text : options.ranges) {
      const std::pair<std::uint64_t, std::uint64_t> range = Units::parseRange(text);
      if (range.first > range.second) throw UsageError("range " + text + " ends before it starts");
      if (range.second >= sectors) {
        throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("range ") + text + " reaches past the last sector (" +
                                                        std::to_string(sectors ? sectors - 1 : 0) + ")");
      }
      ranges->push_back(range);
      totalSectors += range.second - range.first + 1;
    }
  }
  Confirmation::require({&target},
                        ranges ? "overwrite " + std::to_string(ranges->size()) + " sector range(s) with zeros"
                               : "overwrite every sector with zeros",
                        options.yes);

  DiskImager imager(target.device());
  OperationRunner runner;
  runner.attach(imager, "zero " + target.argument(), totalSectors * target.device().getSectorSize(), std::string());
  if (!imager.startZeroingDisk(false, ranges)) throw VantorException(ERR_GENERAL, "zeroing could not be started");
  const int status = runner.wait();
  if (status == 0) {
    std::cout << "Zeroed " << totalSectors << " sectors (" << Units::bytes(totalSectors * target.device().getSectorSize())
              << ") of " << target.path() << "\n";
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
  addTargetOptions(*command, options->targetOptions, true);
  command->callback([options, &action] { action = [options] { return runZero(*options); }; });
}

}  // namespace

void addCaptureCommand(CLI::App& app, CommandAction& action) { addCapture(app, action); }
void addRestoreCommand(CLI::App& app, CommandAction& action) { addRestore(app, action); }
void addZeroCommand(CLI::App& app, CommandAction& action) { addZero(app, action); }

}  // namespace vantor::cli

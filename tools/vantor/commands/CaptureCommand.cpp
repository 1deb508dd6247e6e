// vantor capture: the used sectors of a drive or disk file into an image (or every
// sector, --whole-drive), run by the imaging engine on its worker thread while the main
// thread shows progress.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include <libVantor/DiskImager.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>
#include <libVantor/WriteSafety.h>

#include "Commands.h"
#include "FatVolumeFacts.h"
#include "ImageFile.h"
#include "OperationRunner.h"
#include "Target.h"
#include "Units.h"
#include "UsageError.h"
#include "Utf8Path.h"
#include "VolumeLines.h"

namespace vantor::cli {
namespace {

struct CaptureOptions {
  std::string target;
  std::string image;
  bool wholeDrive = false;
  bool fatOnly = false;
  bool allowVolumeBeyondDrive = false;
  bool force = false;
  bool compressed = false;  // --compress given
  int compress = DiskImager::DEFAULT_IMAGE_COMPRESSION;  // its zstd level
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

int runCapture(const CaptureOptions& options) {
  const bool compressed = options.compressed;
  if (compressed && (options.compress < 1 || options.compress > 19)) {
    throw UsageError("--compress takes a level from 1 to 19 (default " +
                     std::to_string(DiskImager::DEFAULT_IMAGE_COMPRESSION) + ")");
  }
  if (compressed && options.wholeDrive) {
    throw UsageError("--compress writes a captured image: it does not go with --whole-drive");
  }
  std::string image = Target::absolutePath(options.image);
  const bool link = PathFacts::isSymbolicLink(image);
  const bool exists = link || PathFacts::inspect(image).kind != PathFacts::Kind::Missing;
  if (exists) {
    // Whatever --force says, only a regular file is ever replaced: never a device node.
    if (PathFacts::inspect(image).kind == PathFacts::Kind::Missing) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + options.image +
                                                 "\" is a symbolic link to nothing; refusing to write through it");
    }
    ImageFile::requireRegularFile(image, options.image);
    if (!options.force) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("image file ") + image + " exists (--force replaces it)");
    }
    // Replace the file the link names, not the link.
    if (link) image = utf8Path(std::filesystem::canonical(fsPath(image)));
  }
  Target target = Target::open(options.target, options.targetOptions);
  if (exists) WriteSafety::refuseImageOnTarget(image, target.device().rawDisk(), false);
  if (target.isBlockDevice() && !target.device().mountPoints().empty()) {
    std::cerr << "vantor: warning: " << target.path()
              << " is mounted; files changing during the capture may be captured half-written\n";
  }

  // The library writes the image under a temporary name and puts it in place with its
  // checksum file (a raw dump has none) once both are on the medium.
  DiskImager imager(target.device());
  imager.setImageChecksums(options.force ? DiskImager::CHECKSUMS_ON_REPLACING : DiskImager::CHECKSUMS_ON);
  if (compressed) imager.setImageCompression(options.compress);
  if (options.allowVolumeBeyondDrive) imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  if (!options.fatOnly) imager.setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME);
  OperationRunner runner(options.progress);
  runner.attach(imager, target.argument(), "capture " + target.argument() + " -> " + options.image,
                options.wholeDrive ? target.device().capacityBytes() : 0, image + ".partial-*");
  // The library's sector size refusals name no volume: its usage record tells which.
  runner.explainFailures([&target, &options](const ProgressBoard::Line& failed) {
    if ((failed.code != ERR_GENERAL && failed.code != ERR_VOLUME_TOO_LARGE) || !options.fatOnly) return std::string();
    return FatVolumeFacts::sectorSizeMismatches(target.device().rawDisk());
  });
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
    if (!options.fatOnly) {
      // Told from the image, which holds every sector the volumes' maps are read from:
      // the drive, a slow one above all, is not read a second time.
      ImageDisk captured(image);
      VolumeLines::printSummary(std::cout, DriveVolumes::ofDisk(captured), captured.getSectorSize());
    }
  }
  return 0;
}

void addCapture(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<CaptureOptions>();
  CLI::App* command = app.add_subcommand("capture", "Capture the used sectors of a drive or disk file into an image");
  command->add_option("TARGET", options->target, "Block device or disk file to read")->required();
  command->add_option("IMAGE", options->image, "Image file to write")->required();
  command->add_flag("--whole-drive", options->wholeDrive, "Dump every sector, without a header (restore cannot read it)");
  command->add_flag("--fat-only", options->fatOnly,
                    "Map only an MBR of FAT16/FAT32 volumes and refuse any other layout (by default every volume "
                    "is mapped by its file system, and one no mapper knows is copied whole)");
  command->add_flag("--allow-volume-beyond-drive", options->allowVolumeBeyondDrive,
                    "Accept a partition that reaches past the end of the drive");
  command->add_flag("--force", options->force, "Replace an existing image file");
  const std::string level = std::to_string(DiskImager::DEFAULT_IMAGE_COMPRESSION);
  command->add_flag("--compress{" + level + "}", options->compress,
                    "Write the image compressed with zstd, at LEVEL 1 to 19 (--compress=LEVEL; " + level +
                        " without one), in frames that restore, verify and mount read at any offset");
  addTargetOptions(*command, options->targetOptions, false);
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, command, &action] {
    options->compressed = command->get_option("--compress")->count() > 0;
    action = [options] { return runCapture(*options); };
  });
}

}  // namespace

void addCaptureCommand(CLI::App& app, CommandAction& action) { addCapture(app, action); }

}  // namespace vantor::cli

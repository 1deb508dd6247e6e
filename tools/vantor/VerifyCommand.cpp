// vantor verify: several drives or disk files compared with one image at once, without
// writing anything. Exit 0 only when every target holds the image's sectors.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ImageFile.h"
#include "OperationRunner.h"
#include "Target.h"
#include "Units.h"

namespace vantor::cli {
namespace {

struct VerifyOptions {
  std::string image;
  std::vector<std::string> targets;
  bool ignoreSums = false;
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

int runVerify(VerifyOptions options) {
  const std::string image = Target::absolutePath(options.image);
  const ImageFile facts = ImageFile::read(image);  // a damaged image is refused before any target opens
  // The library holds each chunk against the image's checksums as it compares it; a
  // checksum file that disagrees already in the header or run table, or cannot be used,
  // is said before any target opens (verify writes nothing, so it says nothing of that).
  if (!options.ignoreSums) {
    const ImageChecksums::Result sums = ImageChecksums::check(image, false);
    if (sums.verdict == ImageChecksums::Verdict::Missing) {
      std::cerr << "vantor: note: " << image << " has no checksums (" << ImageChecksums::pathFor(image)
                << "), so it cannot prove it is intact\n";
    } else if (sums.verdict != ImageChecksums::Verdict::Intact) {
      throw VantorException(ERR_INVALID_IMAGE_FILE, ImageChecksums::message(image, sums));
    }
  }
  if (options.targetOptions.sectorSize == 0) options.targetOptions.sectorSize = facts.sectorSize;
  std::vector<std::unique_ptr<Target>> targets;
  std::vector<std::unique_ptr<DiskImager>> imagers;
  for (const std::string& argument : options.targets) {
    targets.push_back(std::make_unique<Target>(Target::open(argument, options.targetOptions)));
    imagers.push_back(std::make_unique<DiskImager>(targets.back()->device()));
    imagers.back()->setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME);  // a GPT's backup is the target's own
    if (!options.ignoreSums) imagers.back()->setImageChecksums(DiskImager::CHECKSUMS_ON);
  }
  OperationRunner runner(options.progress);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], targets[i]->argument(), "verify " + targets[i]->argument(), facts.usedBytes(), "");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    try {
      if (!imagers[i]->startVerifyingImage(image, false)) {
        throw VantorException(ERR_GENERAL, vrk::String("the verification of ") + targets[i]->path() + " could not start");
      }
    } catch (const VantorException& error) {  // too small, other sector size: said before anything runs
      throw VantorException(error.getErrorCode(), vrk::String(targets[i]->argument()) + ": " + error.getMessage());
    }
  }
  const int status = runner.wait();
  const std::vector<ProgressBoard::Line> lines = runner.outcome();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lines[i].status == ProgressBoard::Status::Succeeded) {
      std::cout << targets[i]->path() << " matches the image (" << Units::bytes(facts.usedBytes()) << " compared)\n";
    }
  }
  return status;
}

}  // namespace

void addVerifyCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<VerifyOptions>();
  options->targetOptions.sectorSize = 0;
  CLI::App* command = app.add_subcommand(
      "verify", "Check that drives or disk files hold an image's sectors, without writing (several at once)");
  command->add_option("IMAGE", options->image, "Image file to compare with")->required();
  command->add_option("TARGET", options->targets, "Block devices or disk files to check")->required();
  command->add_option("--sector-size", options->targetOptions.sectorSize,
                      "Sector size of disk file targets (default: the image's)");
  command->add_flag("--ignore-sums", options->ignoreSums,
                    "Compare without holding the image against its checksum file (one that disagrees, belongs to "
                    "another image or cannot be read)");
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runVerify(*options); }; });
}

}  // namespace vantor::cli

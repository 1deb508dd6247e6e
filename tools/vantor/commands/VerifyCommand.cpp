// vantor verify: several drives or disk files compared with one image at once, without
// writing anything. Exit 0 only when every target holds the image's sectors.
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/CompressedSource.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/DiskImager.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ImageFile.h"
#include "OperationRunner.h"
#include "RawSource.h"
#include "Target.h"
#include "Units.h"

namespace vantor::cli {
namespace {

struct VerifyOptions {
  std::string image;
  std::vector<std::string> targets;
  bool ignoreSums = false;
  bool everySector = false;
  TargetOptions targetOptions;
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

// A source other than a captured image, as runSourceVerify compares it.
struct OtherSource {
  std::string name;  // what the results call it
  std::uint32_t sectorSize = 512;  // a disk file target's sector size unless told
  // Checks the source against one target's imager; answers the bytes compared, 0 when
  // only the comparing tells.
  std::function<std::uint64_t(DiskImager&)> check;
  std::function<bool(DiskImager&)> start;
};

// Each target compared with the sectors a restore from `source` writes, by an imager of
// its own.
int runSourceVerify(VerifyOptions options, const OtherSource& source) {
  if (options.targetOptions.sectorSize == 0) options.targetOptions.sectorSize = source.sectorSize;
  std::vector<std::unique_ptr<Target>> targets;
  std::vector<std::unique_ptr<DiskImager>> imagers;
  std::uint64_t comparedBytes = 0;
  for (const std::string& argument : options.targets) {
    targets.push_back(std::make_unique<Target>(Target::open(argument, options.targetOptions)));
    imagers.push_back(std::make_unique<DiskImager>(targets.back()->device()));
    if (options.everySector) imagers.back()->setSourceSectors(DiskImager::SOURCE_EVERY_SECTOR);
    try {  // too small, other sector size: said before anything runs
      comparedBytes = source.check(*imagers.back());
    } catch (const VantorException& error) {
      throw VantorException(error.getErrorCode(), vrk::String(argument) + ": " + error.getMessage());
    }
  }
  OperationRunner runner(options.progress);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], targets[i]->argument(), "verify " + targets[i]->argument(), comparedBytes, "");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!source.start(*imagers[i])) {
      throw VantorException(ERR_GENERAL, vrk::String("the verification of ") + targets[i]->path() + " could not start");
    }
  }
  const int status = runner.wait();
  const std::vector<ProgressBoard::Line> lines = runner.outcome();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lines[i].status == ProgressBoard::Status::Succeeded) {
      std::cout << targets[i]->path() << " matches the " << source.name;
      if (comparedBytes) std::cout << " (" << Units::bytes(comparedBytes) << " compared)";
      std::cout << "\n";
    }
  }
  return status;
}

// A raw source (RawSource): each target compared from an opening of its own.
int runRawVerify(VerifyOptions options) {
  const RawSource raw =
      RawSource::open(options.image, options.targetOptions.sectorSize ? options.targetOptions.sectorSize : 512, false);
  std::vector<std::shared_ptr<IDisk>> sources;
  OtherSource source;
  source.name = "disk image " + raw.path();
  source.sectorSize = raw.disk().getSectorSize();
  source.check = [&raw](DiskImager& imager) {
    return imager.checkSourceCompatibility(raw.disk(), false) * raw.disk().getSectorSize();
  };
  source.start = [&raw, &sources](DiskImager& imager) {
    sources.push_back(raw.reopen());
    return imager.startVerifyingDisk(sources.back(), false);
  };
  return runSourceVerify(std::move(options), source);
}

// A compressed disk image: decompressed once for every target, as they are compared.
int runCompressedVerify(VerifyOptions options, const std::string& path) {
  const std::vector<std::shared_ptr<CompressedSource>> readers = CompressedSource::readersOf(path, options.targets.size());
  std::size_t started = 0;
  OtherSource source;
  source.name = std::string(DiskImager::compressionOf(path)) + "-compressed disk image " + path;
  source.check = [&path](DiskImager& imager) { return imager.checkCompressedSource(path, false); };
  source.start = [&readers, &started](DiskImager& imager) {
    return imager.startVerifyingCompressed(readers[started++], false);
  };
  return runSourceVerify(std::move(options), source);
}

int runVerify(VerifyOptions options) {
  const std::string image = Target::absolutePath(options.image);
  if (*DiskImager::compressionOf(image)) return runCompressedVerify(std::move(options), image);
  if (RawSource::isRaw(image)) return runRawVerify(std::move(options));
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
  // A compressed image is decompressed once for all the targets: their imagers share it.
  std::vector<std::shared_ptr<CompressedSource>> readers;
  if (ImageDisk::holdsCompressedImage(image)) readers = CompressedSource::readersOf(image, targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    try {
      if (!(readers.empty() ? imagers[i]->startVerifyingImage(image, false)
                            : imagers[i]->startVerifyingCompressed(readers[i], false))) {
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
  command->add_option("IMAGE", options->image, "Image file to compare with: a captured image, or a disk image (a raw disk file or a drive)")->required();
  command->add_option("TARGET", options->targets, "Block devices or disk files to check")->required();
  command->add_option("--sector-size", options->targetOptions.sectorSize,
                      "Sector size of disk file targets (default: the image's)");
  command->add_flag("--ignore-sums", options->ignoreSums,
                    "Compare without holding the image against its checksum file (one that disagrees, belongs to "
                    "another image or cannot be read)");
  command->add_flag("--every-sector", options->everySector,
                    "Against a disk image that is not a captured one: compare every sector of it, not only the used "
                    "ones");
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runVerify(*options); }; });
}

}  // namespace vantor::cli

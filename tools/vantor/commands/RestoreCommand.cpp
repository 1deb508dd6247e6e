// vantor restore: an image onto one or more drives or disk files at once, run by the
// imaging engine on its worker threads while the main thread shows progress.
#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>

#include <libVantor/CompressedSource.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/DiskImager.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/PathFacts.h>
#include <libVantor/SignatureEraser.h>
#include <libVantor/VantorException.h>
#include <libVantor/WriteSafety.h>

#include "Commands.h"
#include "CreatedFiles.h"
#include "ImageFile.h"
#include "InterruptGuard.h"
#include "LogOutput.h"
#include "OperationRunner.h"
#include "RawSource.h"
#include "Target.h"
#include "TargetGuard.h"
#include "Units.h"
#include "WriteWitness.h"

namespace vantor::cli {
namespace {

struct RestoreOptions {
  std::string image;
  std::vector<std::string> targets;
  bool verify = false;
  bool allowVolumeTooLarge = false;
  bool keepSignatures = false;
  bool ignoreSums = false;
  bool yes = false;
  bool force = false;
  bool everySector = false;
  TargetOptions targetOptions;
  // A disk file given as a raw source is read in sectors of --sector-size, else 512 bytes.
  std::uint32_t sourceSectorSize() const { return targetOptions.sectorSize ? targetOptions.sectorSize : 512; }
  OperationRunner::Progress progress = OperationRunner::Progress::Board;
};

bool isValidSectorSize(std::uint32_t bytes) { return bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0; }

// Holds the image (its header and run table, or with `whole` all of it) against its
// checksum file before anything is written: a disagreement, or a checksum file that
// cannot be used, is refused with nothing written; an image without one is noted.
void requireAgreement(const std::string& image, bool whole) {
  const ImageChecksums::Result result = ImageChecksums::check(image, whole);
  if (result.verdict == ImageChecksums::Verdict::Missing) {
    std::cerr << "vantor: note: " << image << " has no checksums (" << ImageChecksums::pathFor(image)
              << "), so it cannot prove it is intact\n";
  } else if (result.verdict != ImageChecksums::Verdict::Intact) {
    throw VantorException(ERR_INVALID_IMAGE_FILE,
                          ImageChecksums::message(image, result) +
                              ": nothing was written (--ignore-sums restores it all the same, judged by its "
                              "format and, with --verify, by reading it back)");
  }
}

// Opens (or creates) every target for writing, once their paths are checked; the disk
// files this run makes are in `created`.
std::vector<std::unique_ptr<Target>> openTargets(const RestoreOptions& options, CreatedFiles& created) {
  Target::refuseRepeats(options.targets);
  std::vector<std::unique_ptr<Target>> targets;
  std::vector<const Target*> opened;
  for (const std::string& argument : options.targets) {
    targets.push_back(std::make_unique<Target>(Target::open(argument, options.targetOptions)));
    created.add(*targets.back());
    opened.push_back(targets.back().get());
  }
  Target::refuseOverlaps(opened);
  return targets;
}

// A source other than a captured image, as runSourceRestore writes it.
struct OtherSource {
  std::string name;  // what the question and the results call it
  // A disk file target's sector size unless told.
  std::uint32_t sectorSize = 512;
  // Checks the source against one target's imager before anything is written; answers
  // the bytes a restore writes, 0 when only the writing tells.
  std::function<std::uint64_t(DiskImager&)> check;
  // Starts the restore onto target `i`, with `clean` to run once every sector is written.
  std::function<bool(DiskImager&, std::size_t i, std::function<void(std::shared_ptr<IDisk>)> clean)> start;
  // Erases on the written drive of target `i` the signatures the source does not hold.
  std::function<std::vector<std::string>(std::size_t i, IDisk& drive)> erase;
  // The bytes target `i` has taken so far, where check() could not tell how many it takes.
  std::function<std::uint64_t(std::size_t i)> bytesDone;
};

// A raw source (RawSource) or a compressed one: written onto each target by an imager
// of its own, every target checked before any is written.
int runSourceRestore(RestoreOptions options, const std::string& sourcePath, const OtherSource& source) {
  if (options.targetOptions.sectorSize == 0) options.targetOptions.sectorSize = source.sectorSize;
  options.targetOptions.forWriting = true;
  const std::string sourceIdentity = PathFacts::identity(sourcePath);
  for (const std::string& argument : options.targets) {
    if (PathFacts::identity(Target::absolutePath(argument)) == sourceIdentity) {
      throw VantorException(ERR_INVALID_ARGUMENT, vrk::String(argument) + ": the source cannot be the target itself");
    }
  }
  CreatedFiles created;
  const std::vector<std::unique_ptr<Target>> targets = openTargets(options, created);
  // Every target is checked before any is written.
  std::vector<std::unique_ptr<DiskImager>> imagers;
  std::uint64_t usedBytes = 0;
  for (const auto& target : targets) {
    auto imager = std::make_unique<DiskImager>(target->device());
    if (options.everySector) imager->setSourceSectors(DiskImager::SOURCE_EVERY_SECTOR);
    if (options.allowVolumeTooLarge) imager->setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
    try {
      usedBytes = source.check(*imager);
    } catch (const VantorException& error) {
      throw VantorException(error.getErrorCode(), vrk::String(target->argument()) + ": " + error.getMessage());
    }
    imagers.push_back(std::move(imager));
  }
  TargetGuard guard(options.yes, options.force);
  for (const auto& target : targets) guard.addReplaced(*target);
  guard.require("overwrite the disk with the " + source.name);

  created.keep();
  OperationRunner runner(options.progress);
  std::vector<WriteWitness::Flag> written;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], targets[i]->argument(), "restore -> " + targets[i]->argument(), usedBytes, "",
                  usedBytes == 0 && source.bytesDone ? [&source, i] { return source.bytesDone(i); }
                                                     : std::function<std::uint64_t()>());
    written.push_back(WriteWitness::install(targets[i]->device().rawDisk()));
  }
  std::vector<std::vector<std::string>> erased(targets.size());
  try {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      std::function<void(std::shared_ptr<IDisk>)> clean;
      if (!options.keepSignatures && source.erase) {
        clean = [&erased, &source, i](std::shared_ptr<IDisk> drive) { erased[i] = source.erase(i, *drive); };
      }
      if (!source.start(*imagers[i], i, std::move(clean))) {
        throw VantorException(ERR_GENERAL, vrk::String("the restore onto ") + targets[i]->path() + " could not be started");
      }
    }
  } catch (...) {
    // The restores started already end too (and do not wait for a source's readers that never started).
    for (const auto& imager : imagers) imager->abort();
    throw;
  }
  const int status = runner.wait();
  const std::vector<ProgressBoard::Line> lines = runner.outcome();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lines[i].status == ProgressBoard::Status::Succeeded) {
      std::cout << "Restored " << (usedBytes ? Units::bytes(usedBytes) : "the " + source.name) << " onto "
                << targets[i]->path() << (options.verify ? " (verified)" : "") << "\n";
      for (const std::string& what : erased[i]) {
        std::cout << "  erased an old " << what << " that the disk image does not hold\n";
      }
    } else if (written[i]->load()) {
      std::cerr << "vantor: " << targets[i]->path() << " may be left partly written\n";
    }
  }
  return status;
}

// A raw source (RawSource): written as the library maps it, onto each target from an
// opening of its own. No checksum file belongs to it.
int runRawRestore(RestoreOptions options, const std::string& sourcePath) {
  const RawSource raw = RawSource::open(options.image, options.sourceSectorSize(), true);
  // Each restore reads its own opening, all made before the first restore starts.
  std::vector<std::shared_ptr<IDisk>> sources;
  for (std::size_t i = 0; i < options.targets.size(); ++i) sources.push_back(raw.reopen());
  OtherSource source;
  source.name = "disk image " + raw.path();
  source.sectorSize = raw.disk().getSectorSize();
  source.check = [&raw](DiskImager& imager) {
    return imager.checkSourceCompatibility(raw.disk(), true) * raw.disk().getSectorSize();
  };
  source.start = [&sources, verify = options.verify](DiskImager& imager, std::size_t i,
                                                     std::function<void(std::shared_ptr<IDisk>)> clean) {
    return imager.startWritingDisk(sources[i], false, verify, std::move(clean));
  };
  source.erase = [&sources, every = options.everySector](std::size_t i, IDisk& drive) {
    return SignatureEraser::eraseForeign(drive, *sources[i], every);
  };
  return runSourceRestore(std::move(options), sourcePath, source);
}

// A compressed disk image: decompressed once for every target, as they are written. No
// checksum file belongs to it; the stream's own checks find damage.
int runCompressedRestore(RestoreOptions options, const std::string& sourcePath) {
  ImageFile::requireRegularFile(sourcePath, options.image);
  const std::vector<std::shared_ptr<CompressedSource>> readers =
      CompressedSource::readersOf(sourcePath, options.targets.size());
  OtherSource source;
  source.name = std::string(DiskImager::compressionOf(sourcePath)) + "-compressed disk image " + sourcePath;
  source.check = [&sourcePath](DiskImager& imager) { return imager.checkCompressedSource(sourcePath, true); };
  source.start = [&readers, verify = options.verify](DiskImager& imager, std::size_t i,
                                                    std::function<void(std::shared_ptr<IDisk>)> clean) {
    return imager.startWritingCompressed(readers[i], false, verify, std::move(clean));
  };
  // A stream that does not state its size counts its own bytes for the progress line.
  source.bytesDone = [&readers](std::size_t i) { return readers[i]->bytesTaken(); };
  // What the stream put on the drive lies from sector 0 on; an old table's backup past it is foreign.
  source.erase = [&readers](std::size_t i, IDisk& drive) {
    const u64 sectors = (readers[i]->bytesTaken() + drive.getSectorSize() - 1) / drive.getSectorSize();
    return SignatureEraser::eraseForeign(drive, [sectors](u64 sector) { return sector < sectors; });
  };
  return runSourceRestore(std::move(options), sourcePath, source);
}

int runRestore(RestoreOptions options) {
  const std::string image = Target::absolutePath(options.image);
  if (*DiskImager::compressionOf(image)) return runCompressedRestore(std::move(options), image);
  if (RawSource::isRaw(image)) return runRawRestore(std::move(options), image);
  ImageFile::requireRegularFile(image, options.image);
  const ImageFile facts = ImageFile::read(image);
  // The image is held against its checksums before anything is written onto a target
  // that holds data: one read pass, before any target is opened. Disk files that this
  // run makes hold nothing yet: there the library holds each chunk against its checksum
  // as it writes it (the image is not read twice); the files are kept only once the
  // restore has succeeded, and an image that disagrees takes them away again. (JSON
  // progress reports an outcome per target as it ends, so there the check comes first.)
  // With --ignore-sums the checksum file is not read at all.
  const bool onlyNewFiles =
      options.progress == OperationRunner::Progress::Board &&
      std::all_of(options.targets.begin(), options.targets.end(), [](const std::string& target) {
        const std::string path = Target::absolutePath(target);
        return !PathFacts::isDrivePath(path) && !PathFacts::isSymbolicLink(path) &&
               PathFacts::inspect(path).kind == PathFacts::Kind::Missing;
      });
  bool checkAfterWriting = onlyNewFiles && !options.ignoreSums;
  if (!options.ignoreSums) requireAgreement(image, !checkAfterWriting);
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

  CreatedFiles created;
  const std::vector<std::unique_ptr<Target>> targets = openTargets(options, created);
  for (const auto& target : targets) WriteSafety::refuseImageOnTarget(image, target->device().rawDisk(), true);
  // A target that was there after all is written only after the whole check.
  if (checkAfterWriting &&
      !std::all_of(targets.begin(), targets.end(), [](const auto& target) { return target->created(); })) {
    checkAfterWriting = false;
    requireAgreement(image, true);
  }

  // Every target is checked before any is written.
  std::vector<std::unique_ptr<DiskImager>> imagers;
  for (const auto& target : targets) {
    auto imager = std::make_unique<DiskImager>(target->device());
    imager->setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME);  // a GPT's backup goes to the target's end
    if (!options.ignoreSums) imager->setImageChecksums(DiskImager::CHECKSUMS_ON);
    if (options.allowVolumeTooLarge) imager->setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
    bool compatible = true;
    try {
      // The start repeats this check and logs its warnings; here it only has to throw.
      const LogOutput::Mute mute;
      (void)imager->checkImageCompatibility(image, compatible, true);
    } catch (const VantorException& error) {
      throw VantorException(error.getErrorCode(), vrk::String(target->argument()) + ": " + error.getMessage());
    }
    if (options.allowVolumeTooLarge) {
      // The library's record of it (473) is a report; the host says it as a sentence.
      LogOutput::sayItself("473");
      DISK_IMAGE_INFO info{};
      const std::uint64_t capacity = target->device().rawDisk().getSizeBytes();
      if (DiskImager::getImageInfo(image, info) && capacity < info.requiredCapacity) {
        std::cerr << "vantor: warning: " << target->argument() << " holds " << Units::bytes(capacity)
                  << ", less than the " << Units::bytes(info.requiredCapacity)
                  << " the image's volumes span; restoring anyway (--allow-volume-too-large), so the end of a volume"
                     " lies beyond the end of the drive\n";
      }
    }
    imagers.push_back(std::move(imager));
  }
  TargetGuard guard(options.yes, options.force);
  for (const auto& target : targets) guard.addReplaced(*target);
  if (options.ignoreSums) guard.addRisk("without holding the image against its checksum file (--ignore-sums)");
  guard.require("overwrite the disk with the image " + image);

  if (!checkAfterWriting) created.keep();
  OperationRunner runner(options.progress);
  std::vector<WriteWitness::Flag> written;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    runner.attach(*imagers[i], targets[i]->argument(), "restore -> " + targets[i]->argument(), facts.usedBytes(), "");
    IDisk& disk = targets[i]->device().rawDisk();
    written.push_back(WriteWitness::install(disk));
  }
  // Each target's old signatures the image did not overwrite, cleared before the drive
  // is mounted back (each worker fills its own entry; read once all have ended).
  std::vector<std::vector<std::string>> erased(targets.size());
  // A compressed image is decompressed once for all the targets: their imagers share it.
  std::vector<std::shared_ptr<CompressedSource>> readers;
  if (ImageDisk::holdsCompressedImage(image)) readers = CompressedSource::readersOf(image, targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::function<void(std::shared_ptr<IDisk>)> clean;
    if (!options.keepSignatures) {
      clean = [&erased, i, &image](std::shared_ptr<IDisk> drive) { erased[i] = SignatureEraser::eraseForeign(*drive, image); };
    }
    const bool started = readers.empty()
                             ? imagers[i]->startWritingImage(image, false, false, options.verify, std::move(clean))
                             : imagers[i]->startWritingCompressed(readers[i], false, options.verify, std::move(clean));
    if (!started) {
      throw VantorException(ERR_GENERAL, vrk::String("the restore onto ") + targets[i]->path() + " could not be started");
    }
  }
  const int status = runner.wait();
  const std::vector<ProgressBoard::Line> lines = runner.outcome();
  if (checkAfterWriting) {
    // An interrupt, or an image that disagrees with its checksums, removes the new files
    // (so does any exception on the way here); a target that failed otherwise keeps its
    // file, said to be partly written below.
    const bool interrupted = status == 130 || InterruptGuard::raised();
    const bool disagrees = std::any_of(lines.begin(), lines.end(), [](const ProgressBoard::Line& line) {
      return line.status == ProgressBoard::Status::Failed && line.code == ERR_INVALID_IMAGE_FILE;
    });
    if (interrupted || disagrees) {
      std::cerr << "vantor: " << (interrupted ? "interrupted: " : "")
                << "the disk files made for the restore were removed\n";
      return interrupted ? 130 : status;
    }
    created.keep();
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lines[i].status == ProgressBoard::Status::Succeeded) {
      std::cout << "Restored " << Units::bytes(facts.usedBytes()) << " onto " << targets[i]->path()
                << (options.verify ? " (verified)" : "") << "\n";
      for (const std::string& what : erased[i]) {
        std::cout << "  erased an old " << what << " that the image does not hold\n";
      }
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
  command->add_option("IMAGE", options->image,
                      "Image file to read: a captured image, or a disk image (a raw disk file or a drive with a "
                      "partition table or a file system, or a disk file compressed with gzip, xz, zstd or bzip2, or "
                      "alone in a zip archive)")
      ->required();
  command->add_option("TARGET", options->targets, "Block devices or disk files to write")->required();
  command->add_flag("--verify", options->verify, "Read every chunk back and compare it");
  command->add_flag("--allow-volume-too-large", options->allowVolumeTooLarge,
                    "Accept a target smaller than the image's volume");
  command->add_flag("--keep-signatures", options->keepSignatures,
                    "Leave old file-system and partition-table signatures that the image does not overwrite "
                    "(by default they are erased, so no old file system or second table is found beside the new)");
  command->add_flag("--ignore-sums", options->ignoreSums,
                    "Restore without holding the image against its checksum file (one that disagrees, belongs to "
                    "another image or cannot be read); asked about like writing a block device");
  command->add_flag("--every-sector", options->everySector,
                    "From a disk image that is not a captured one (a raw disk file or a drive): write every sector "
                    "of it, not only the used ones");
  command->add_flag("-y,--yes", options->yes, "Do not ask before writing block devices");
  command->add_flag("--force", options->force,
                    "Do not ask at all: also overwrite a target that holds a captured image");
  command->add_option("--sector-size", options->targetOptions.sectorSize,
                      "Sector size of disk file targets (default: the image's)");
  options->targetOptions.mayCreate = true;
  command->add_option("--size", options->targetOptions.size,
                      "Create missing disk file targets of this size (suffixes K, M, G, T: 64M, 1.5G; whole sectors)");
  OperationRunner::addProgressOption(*command, options->progress);
  command->callback([options, &action] { action = [options] { return runRestore(*options); }; });
}

}  // namespace

void addRestoreCommand(CLI::App& app, CommandAction& action) { addRestore(app, action); }

}  // namespace vantor::cli

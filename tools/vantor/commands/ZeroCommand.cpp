// vantor zero: zeros over a whole drive or disk file, or over sector ranges of it, run
// by the imaging engine on its worker thread while the main thread shows progress.
#include <algorithm>
#include <iostream>
#include <memory>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "CreatedFiles.h"
#include "OperationRunner.h"
#include "Target.h"
#include "TargetGuard.h"
#include "Units.h"
#include "UsageError.h"

namespace vantor::cli {
namespace {

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

void addZeroCommand(CLI::App& app, CommandAction& action) { addZero(app, action); }

}  // namespace vantor::cli

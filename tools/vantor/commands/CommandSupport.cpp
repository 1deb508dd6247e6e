// The pieces the subcommands share.
#include "Commands.h"
#include "Target.h"

namespace vantor::cli {

void addTargetOptions(CLI::App& command, TargetOptions& options, bool mayCreate) {
  command.add_option("--sector-size", options.sectorSize, "Sector size of a disk file target, in bytes")
      ->capture_default_str();
  options.mayCreate = mayCreate;
  if (mayCreate) {
    command.add_option("--size", options.size,
                       "Create a missing disk file target of this size (suffixes K, M, G, T: 64M, 1G)");
  }
}

}  // namespace vantor::cli

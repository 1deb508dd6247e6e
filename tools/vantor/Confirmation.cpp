#include "Confirmation.h"

#include <iostream>

#include <libVantor/VantorException.h>

#include "Units.h"

namespace vantor::cli {

void Confirmation::require(const std::vector<const Target*>& targets, const std::string& action, bool assumeYes) {
  std::vector<const Target*> devices;
  for (const Target* target : targets) {
    if (target->isBlockDevice()) devices.push_back(target);
  }
  if (devices.empty() || assumeYes) return;

  std::cerr << "This will " << action << " on:\n";
  for (const Target* target : devices) {
    const DiskDevice& device = target->device();
    std::cerr << "  " << target->path() << "  " << device.description().str() << ", " << device.capacityBytes()
              << " bytes";
    const vrk::Array<vrk::String>& mounts = device.mountPoints();
    if (!mounts.empty()) {
      std::cerr << ", mounted at";
      for (const vrk::String& mount : mounts) std::cerr << " " << mount.str();
      std::cerr << " (it will be unmounted)";
    }
    std::cerr << "\n";
  }
  std::cerr << "Type \"yes\" to continue: " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    // The prompt line was left open: end it, so that the error line stands on its own.
    std::cerr << "\n";
    throw VantorException(ERR_ABORTED, "not confirmed (end of input); nothing was written");
  }
  if (answer != "yes") {
    throw VantorException(ERR_ABORTED, "not confirmed; nothing was written");
  }
}

}  // namespace vantor::cli

#include "Confirmation.h"

#include <iostream>

#include <libVantor/VantorException.h>

namespace vantor::cli {

void Confirmation::ask(const std::vector<Item>& items, const std::string& action, const std::string& flag) {
  std::cerr << "This will " << action << " on:\n";
  for (const Item& item : items) {
    const Target& target = *item.target;
    const DiskDevice& device = target.device();
    std::cerr << "  " << target.path() << "  " << device.description().str() << ", " << device.capacityBytes()
              << " bytes";
    const vrk::Array<vrk::String>& mounts = device.mountPoints();
    if (!mounts.empty()) {
      std::cerr << ", mounted at";
      for (const vrk::String& mount : mounts) std::cerr << " " << mount.str();
      std::cerr << " (it will be unmounted)";
    }
    std::cerr << "\n";
    if (!item.holds.empty()) std::cerr << "    it holds " << item.holds << ": that will be lost\n";
  }
  std::cerr << "Type \"yes\" to continue: " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    // The prompt line was left open: end it, so that the error line stands on its own.
    std::cerr << "\n";
    throw VantorException(ERR_ABORTED, "not confirmed (end of input; " + flag +
                                           " answers without the question); nothing was written");
  }
  if (answer != "yes") {
    throw VantorException(ERR_ABORTED, "not confirmed; nothing was written");
  }
}

}  // namespace vantor::cli

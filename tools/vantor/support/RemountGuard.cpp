#include "RemountGuard.h"

#include <iostream>

#include <libVantor/VantorException.h>
#include <libVantor/WriteSafety.h>

namespace vantor::cli {

RemountGuard::RemountGuard(IDisk* dismounted) {
  if (dismounted == nullptr) return;
  WriteSafety::refuseUnsafeWrites(*dismounted);
  if (!dismounted->dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);
  disk_ = dismounted;
}

RemountGuard::~RemountGuard() {
  if (disk_ != nullptr) (void)disk_->mountDrive();
}

bool RemountGuard::interruptedAfter(const std::string& done) {
  if (!SignalHold::interrupted()) return false;
  std::cerr << "vantor: interrupted (after " << done << ")" << std::endl;
  return true;
}

}  // namespace vantor::cli

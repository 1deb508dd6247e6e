// tools/vantor/support/RemountGuard.h
// Brackets a short write the host starts on a drive that must run to its end once
// begun (a partition table rewrite, the backup sector, a boot key laid down): while the
// guard lives, interrupts are held back (SignalHold); given a disk, the guard also takes
// the drive's volumes out of the system's hands when made, once the library agrees the
// drive may be written (WriteSafety; ERR_DISMOUNT_FAILED when the drive refuses), and
// mounts them back when it goes, on every path out, a throw included. Without a disk
// the library call inside dismounts and mounts back itself. After the guard,
// interruptedAfter() tells whether an interrupt came in meanwhile and says so on
// standard error. Main thread.
#pragma once
#include <string>

#include <libVantor/IDisk.h>

#include "SignalHold.h"

namespace vantor::cli {

class RemountGuard {
 public:
  explicit RemountGuard(IDisk* dismounted = nullptr);
  ~RemountGuard();
  RemountGuard(const RemountGuard&) = delete;
  RemountGuard& operator=(const RemountGuard&) = delete;

  // True when an interrupt arrived while the last guard lived; then "vantor: interrupted
  // (after DONE)" is on standard error and the command ends with status 130.
  static bool interruptedAfter(const std::string& done);

 private:
  SignalHold hold_;        // made first: interrupts are held before the dismount
  IDisk* disk_ = nullptr;  // mounted back in the destructor; not owned
};

}  // namespace vantor::cli

// tools/vantor/SignalHold.h
// Keeps SIGINT, SIGTERM and SIGHUP from interrupting a short write that must finish
// once begun (a table rewrite between a dismount and the mount that follows it): the
// signals are blocked while the hold lives and delivered to an InterruptGuard when it
// goes, so interrupted() then tells whether one arrived. Signals ignored on entry stay
// ignored. Made and destroyed on the main thread, before the library starts threads
// of its own for the write (they inherit the blocked mask).
#pragma once
#include <csignal>

#include "InterruptGuard.h"

namespace vantor::cli {

class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

  // True once the hold has ended and a signal came in while it lived.
  static bool interrupted() { return InterruptGuard::raised(); }

 private:
  InterruptGuard guard;
  sigset_t previousMask {};
};

}  // namespace vantor::cli

// tools/vantor/support/SignalHold.h
// Keeps interrupts from stopping a short write that must finish once begun (a table
// rewrite between a dismount and the mount that follows it): while the hold lives they
// are held back (POSIX: SIGINT, SIGTERM and SIGHUP blocked; Windows: the console handler
// only notes them), and they reach an InterruptGuard when it goes, so interrupted() then
// tells whether one arrived. Signals ignored on entry stay ignored. Made and destroyed on
// the main thread, before the library starts threads of its own for the write (on POSIX
// they inherit the blocked mask).
#pragma once
#include <memory>

#include "InterruptGuard.h"

namespace vantor::cli {

class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

  // True once the hold has ended and an interrupt came in while it lived.
  static bool interrupted() { return InterruptGuard::raised(); }

 private:
  InterruptGuard guard;
  struct Previous;  // the signal mask before the hold
  std::unique_ptr<Previous> previous;
};

}  // namespace vantor::cli

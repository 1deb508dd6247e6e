// tools/vantor/support/InterruptGuard.h
// While one of these lives, an interrupt (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl-C,
// Ctrl-Break and closing the console window, through SetConsoleCtrlHandler) only raises a
// flag that the main thread polls (the handler does nothing else, so it is
// async-signal-safe); the main thread then aborts the running operations and waits for
// them. A second interrupt while the first is still being handled ends the process at
// once with status 130. A signal the program inherited as ignored (SIG_IGN, as nohup or a
// background shell leave it) stays ignored. The previous handling comes back when the
// guard goes. One guard at a time, made on the main thread.
#pragma once
#include <memory>

namespace vantor::cli {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // True once an interrupt arrived while a guard lived (until the next guard).
  static bool raised();

 private:
  struct Previous;  // what the system did with interrupts before
  std::unique_ptr<Previous> previous;
};

}  // namespace vantor::cli

// tools/vantor/InterruptGuard.h
// While one of these lives, SIGINT, SIGTERM and SIGHUP only raise a flag that the main
// thread polls (the handler does nothing else, so it is async-signal-safe); the main
// thread then aborts the running operations and waits for them. A second signal while
// the first is still being handled ends the process at once with status 130. A signal
// the program inherited as ignored (SIG_IGN, as nohup or a background shell leave it)
// stays ignored. The previous handlers come back when the guard goes. One guard at a
// time, made on the main thread.
#pragma once
#include <csignal>

namespace vantor::cli {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // True once one of the signals arrived while a guard lived (until the next guard).
  static bool raised();

 private:
  static constexpr int SIGNAL_COUNT = 3;
  struct sigaction previous[SIGNAL_COUNT] {};
  bool installed[SIGNAL_COUNT] {};
};

}  // namespace vantor::cli

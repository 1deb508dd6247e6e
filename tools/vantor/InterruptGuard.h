// tools/vantor/InterruptGuard.h
// While one of these lives, SIGINT and SIGTERM only raise a flag that the main thread
// polls (the handler does nothing else, so it is async-signal-safe); the main thread then
// aborts the running operations and waits for them. A second signal while the first is
// still being handled ends the process at once with status 130. The previous handlers
// come back when the guard goes. One guard at a time, made on the main thread.
#pragma once
#include <csignal>

namespace vantor::cli {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // True once SIGINT or SIGTERM arrived while a guard lived.
  static bool raised();

 private:
  struct sigaction previousInterrupt {};
  struct sigaction previousTerminate {};
};

}  // namespace vantor::cli

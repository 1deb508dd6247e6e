#include "InterruptGuard.h"

#include <unistd.h>

namespace vantor::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

const int guardedSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterrupt(int) {
  if (interrupted) _exit(130);
  interrupted = 1;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  interrupted = 0;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int i = 0; i < SIGNAL_COUNT; ++i) {
    struct sigaction current {};
    if (sigaction(guardedSignals[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    installed[i] = sigaction(guardedSignals[i], &action, &previous[i]) == 0;
  }
}

InterruptGuard::~InterruptGuard() {
  for (int i = 0; i < SIGNAL_COUNT; ++i) {
    if (installed[i]) sigaction(guardedSignals[i], &previous[i], nullptr);
  }
}

bool InterruptGuard::raised() { return interrupted != 0; }

}  // namespace vantor::cli

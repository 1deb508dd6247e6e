// POSIX interrupts: sigaction for SIGINT, SIGTERM and SIGHUP; pthread_sigmask for holds.
#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include "InterruptGuard.h"
#include "SignalHold.h"

namespace vantor::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

constexpr int SIGNAL_COUNT = 3;
const int guardedSignals[SIGNAL_COUNT] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterrupt(int) {
  if (interrupted) _exit(130);
  interrupted = 1;
}

}  // namespace

struct InterruptGuard::Previous {
  struct sigaction actions[SIGNAL_COUNT] {};
  bool installed[SIGNAL_COUNT] {};
};

InterruptGuard::InterruptGuard() : previous(std::make_unique<Previous>()) {
  interrupted = 0;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int i = 0; i < SIGNAL_COUNT; ++i) {
    struct sigaction current {};
    if (sigaction(guardedSignals[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    previous->installed[i] = sigaction(guardedSignals[i], &action, &previous->actions[i]) == 0;
  }
}

InterruptGuard::~InterruptGuard() {
  for (int i = 0; i < SIGNAL_COUNT; ++i) {
    if (previous->installed[i]) sigaction(guardedSignals[i], &previous->actions[i], nullptr);
  }
}

bool InterruptGuard::raised() { return interrupted != 0; }

struct SignalHold::Previous {
  sigset_t mask{};
};

SignalHold::SignalHold() : previous(std::make_unique<Previous>()) {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : guardedSignals) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous->mask);
}

SignalHold::~SignalHold() {
  // A pending signal reaches the guard's handler here, before the guard goes.
  pthread_sigmask(SIG_SETMASK, &previous->mask, nullptr);
}

}  // namespace vantor::cli

#include "SignalHold.h"

#include <pthread.h>

namespace vantor::cli {

SignalHold::SignalHold() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
}

SignalHold::~SignalHold() {
  // A pending signal reaches the guard's handler here, before the guard goes.
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

}  // namespace vantor::cli

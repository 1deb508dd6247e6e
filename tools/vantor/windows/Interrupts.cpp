// Windows interrupts: a console control handler (SetConsoleCtrlHandler) for Ctrl-C,
// Ctrl-Break and the closing of the console window. It runs on a thread of its own and
// only sets flags. While a SignalHold lives it notes the interrupt and nothing more.
#include <windows.h>

#include <atomic>

#include "InterruptGuard.h"
#include "SignalHold.h"

namespace vantor::cli {
namespace {

std::atomic<bool> interrupted{false};
std::atomic<int> holds{0};

BOOL WINAPI onInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (interrupted.exchange(true) && holds.load() == 0) ExitProcess(130);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The system ends the process once this returns: give the main thread the few
      // seconds it is allowed to abort and join the operations.
      interrupted = true;
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct InterruptGuard::Previous {
  bool installed = false;
};

InterruptGuard::InterruptGuard() : previous(std::make_unique<Previous>()) {
  interrupted = false;
  previous->installed = SetConsoleCtrlHandler(onInterrupt, TRUE) != 0;
}

InterruptGuard::~InterruptGuard() {
  if (previous->installed) SetConsoleCtrlHandler(onInterrupt, FALSE);
}

bool InterruptGuard::raised() { return interrupted.load(); }

struct SignalHold::Previous {};

SignalHold::SignalHold() : previous(std::make_unique<Previous>()) { ++holds; }

SignalHold::~SignalHold() { --holds; }

}  // namespace vantor::cli

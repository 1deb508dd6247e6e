// POSIX terminals: isatty(3) and TIOCGWINSZ.
#include <sys/ioctl.h>
#include <unistd.h>

#include "../Terminal.h"

namespace vantor::cli {

bool Terminal::isInteractive() { return ::isatty(STDOUT_FILENO) == 1; }

std::size_t Terminal::width() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}

}  // namespace vantor::cli

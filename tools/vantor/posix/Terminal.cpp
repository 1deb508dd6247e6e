// POSIX terminals: isatty(3) and TIOCGWINSZ.
#include <sys/ioctl.h>
#include <unistd.h>

#include "Terminal.h"

namespace vantor::cli {

bool Terminal::isInteractive() { return ::isatty(STDOUT_FILENO) == 1; }

std::size_t Terminal::width() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}

std::vector<std::string> Terminal::arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

// Terminals here take the bytes the program writes; UTF-8 is what they expect.
Terminal::Utf8Console::Utf8Console() = default;

Terminal::Utf8Console::~Utf8Console() = default;

}  // namespace vantor::cli

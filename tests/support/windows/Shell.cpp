// No shell here: every command fails.
#include "support/Shell.h"

#include <stdexcept>

namespace vantor::test {

int run(const std::string&) { return -1; }

std::string capture(const std::string&) { return std::string(); }

std::string runOrThrow(const std::string& command) {
  throw std::runtime_error("no shell on this system to run: " + command);
}

std::string shellQuote(const std::string& text) { return "'" + text + "'"; }

bool isRoot() { return false; }

bool hasShell() { return false; }

}  // namespace vantor::test

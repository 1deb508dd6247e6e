// Shell commands through system(3) and popen(3).
#include "support/TempDir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace vantor::test {
namespace {

// Whether `command` exited with 0; what it printed is appended to `out`.
bool runCapturing(const std::string& command, std::string& out) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return false;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  const int status = ::pclose(p);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

std::string capture(const std::string& command) {
  std::string out;
  (void)runCapturing(command, out);
  return out;
}

std::string runOrThrow(const std::string& command) {
  std::string out;
  if (!runCapturing(command + " 2>&1", out)) throw std::runtime_error("command failed: " + command + "\n" + out);
  return out;
}

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool isRoot() { return ::geteuid() == 0; }

}  // namespace vantor::test

// tests/support/Shell.h
// Shell commands for the tests that drive the system's own tools (losetup, sfdisk,
// mkfs.fat, mtools, fsck.fat): POSIX builds only, so the tests that use them are
// Linux-only.
#pragma once
#include <string>

namespace vantor::test {

// Runs a shell command; its exit status (-1 when it could not run).
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);
// Runs a shell command with its standard error joined to its output and throws
// std::runtime_error (with the command and its output) unless it exits with 0.
std::string runOrThrow(const std::string& command);
// `text` quoted for the shell.
std::string shellQuote(const std::string& text);
bool isRoot();

}  // namespace vantor::test

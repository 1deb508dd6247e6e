// tests/support/ToolSteps.h
// The system's disk tools (sfdisk, mkfs.fat, mtools, fsck.fat) as steps on one disk file,
// so that the tests built for a system without them (Windows, run under Wine) can use
// what they did on Linux. A step is known by what it does ("format 2048 65536 16 -s 4",
// no paths in it) and by the size and contents of its file before it runs.
//  - Where the tools run, a step runs them. With VANTOR_TOOL_STEPS naming a folder, a
//    step already in that folder is replayed instead, and a new one is recorded there:
//    its output, the file's new size and every 4 KiB block it changed. So every run that
//    records into one folder follows the same chain of files.
//  - Where they do not run, a step is replayed from that folder. One that is missing
//    throws std::runtime_error: the file differs from every file the tools saw on Linux
//    (for a check of a disk the library wrote, a different result than on Linux).
//    Without the folder, tests that need the tools skip (VANTOR_REQUIRE_TOOLS).
// Steps are thread-safe as far as their files are not shared between threads.
#pragma once
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace vantor::test {

class ToolSteps {
 public:
  // The tools run here, or recorded steps are at hand.
  static bool available();
  // Why not, for the skip message.
  static std::string unavailableReason();
  // Runs `step`, which works on `file` with the tools and answers their output, or
  // replays it. `what` names the step without any path.
  static std::string run(const std::string& what, const std::string& file, const std::function<std::string()>& step);
};

// The partition table of a disk file as sfdisk reads it (a tool step), one line per entry
// in table order: "slot start size type" (slot from 0, type in hex), " boot" added when
// bootable.
std::string sfdiskTable(const std::string& image);

}  // namespace vantor::test

// Skips the test where the system's disk tools neither run nor have recorded steps.
#define VANTOR_REQUIRE_TOOLS()                                                                    \
  if (!::vantor::test::ToolSteps::available()) GTEST_SKIP() << ::vantor::test::ToolSteps::unavailableReason()

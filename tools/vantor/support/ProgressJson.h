// tools/vantor/support/ProgressJson.h
// The course of a command's operations as JSON lines (--progress=json), for scripts and
// programs that drive the host: one object per line, nothing else on the stream, each
// line flushed as it is written. While an operation runs, an object with its target, its
// percentage, its bytes done and its rate, each time the percentage changes and at
// least once a second; once it has ended, one object with its outcome ("finished",
// "aborted" or "error", an error with its ERR_ name, code and message). The fields are
// described in docs/progress_json.md. The main thread uses it, reading ProgressBoard
// snapshots; it keeps only what it printed last for each line.
#pragma once
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "ProgressBoard.h"

namespace vantor::cli {

class ProgressJson {
 public:
  explicit ProgressJson(std::ostream& out) : out(out) {}

  // A progress object for each running line whose percentage changed, or whose last
  // object is a second old.
  void printProgress(const std::vector<ProgressBoard::Line>& lines);
  // The closing object of line `index`, which has ended; `message` is its full error
  // message (ignored unless it failed). Once per line; a second call prints nothing.
  void printOutcome(std::size_t index, const ProgressBoard::Line& line, const std::string& message);
  bool outcomePrinted(std::size_t index) const { return index < printed.size() && printed[index].ended; }

 private:
  struct Printed {
    int percent = -1;  // -1: nothing printed yet
    std::chrono::steady_clock::time_point at;
    bool ended = false;
  };
  Printed& printedFor(std::size_t index);

  std::ostream& out;
  std::vector<Printed> printed;
};

}  // namespace vantor::cli

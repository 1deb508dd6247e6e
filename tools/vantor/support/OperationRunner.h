// tools/vantor/support/OperationRunner.h
// Runs the imaging operations of one command to their end: attaches an observer to
// each DiskImager that reports into a board line, then waits on the main thread,
// showing the board (drawn in place on a terminal, otherwise as plain lines that name
// their operation), and polling for Ctrl-C. An interrupt aborts every operation,
// joins every worker and yields status 130. Failures are reported one ERR_ line each.
// With Progress::Json the board is not shown: each operation's course and outcome go to
// standard output as JSON lines (ProgressJson), and while the runner lives whatever else
// the command writes to std::cout goes to standard error, so that standard output holds
// nothing but those lines.
// The imagers must outlive the runner: its destructor aborts and joins any still
// running (a start that threw part-way, for one).
#pragma once
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>

#include "InterruptGuard.h"
#include "ProgressBoard.h"
#include "ProgressJson.h"

namespace CLI {
class App;
}

namespace vantor::cli {

class OperationRunner {
 public:
  enum class Progress { Board, Json };
  // Declares --progress=board|json on `command`, stored into `progress`.
  static void addProgressOption(CLI::App& command, Progress& progress);

  explicit OperationRunner(Progress progress = Progress::Board);
  ~OperationRunner();
  OperationRunner(const OperationRunner&) = delete;
  OperationRunner& operator=(const OperationRunner&) = delete;

  // Registers the observers on `imager`, for the command's `target` argument, under
  // `label` (shown on its line and in its error line when the command runs more than one
  // operation), and lets its drive stream ahead of the progress reports.
  // `bytesDone`, when given, counts the bytes done where `totalBytes` is not known (0).
  void attach(DiskImager& imager, const std::string& target, const std::string& label, std::uint64_t totalBytes,
              const std::string& growingFile, std::function<std::uint64_t()> bytesDone = {});
  // Something the host found that a failure's message leaves out ("" for nothing); it
  // is added to the failure's message. Called on the main thread once the failed
  // operation's worker ended.
  using Explainer = std::function<std::string(const ProgressBoard::Line& failed)>;
  void explainFailures(Explainer explainer) { explain = std::move(explainer); }
  // Waits for every attached imager. 0: all succeeded; 1: one failed (reported);
  // 130: interrupted.
  int wait();
  std::vector<ProgressBoard::Line> outcome() const { return board->snapshot(); }

 private:
  void abortAndJoinAll();
  std::string failureMessage(const ProgressBoard::Line& line) const;
  // JSON: the progress of the running operations, and the outcome of each that ended
  // (joined first, so that its explanation may read its disk).
  void printJson();

  bool terminal;
  InterruptGuard interrupts;
  std::shared_ptr<ProgressBoard> board = std::make_shared<ProgressBoard>();
  std::vector<DiskImager*> imagers;
  Explainer explain;
  std::streambuf* standardOutput = nullptr;  // JSON: std::cout's own buffer, given back at the end
  std::unique_ptr<std::ostream> jsonOutput;
  std::unique_ptr<ProgressJson> json;
};

}  // namespace vantor::cli

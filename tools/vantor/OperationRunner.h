// tools/vantor/OperationRunner.h
// Runs the imaging operations of one command to their end: attaches an observer to
// each DiskImager that reports into a board line, then waits on the main thread,
// showing the board (drawn in place on a terminal, otherwise as plain lines that name
// their operation), and polling for Ctrl-C. An interrupt aborts every operation,
// joins every worker and yields status 130. Failures are reported one ERR_ line each.
// The imagers must outlive the runner: its destructor aborts and joins any still
// running (a start that threw part-way, for one).
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>

#include "InterruptGuard.h"
#include "ProgressBoard.h"

namespace vantor::cli {

class OperationRunner {
 public:
  OperationRunner();
  ~OperationRunner();
  OperationRunner(const OperationRunner&) = delete;
  OperationRunner& operator=(const OperationRunner&) = delete;

  bool onTerminal() const { return terminal; }
  // Registers the observers on `imager`, under `label` (shown on its line and in its
  // error line when the command runs more than one operation).
  void attach(DiskImager& imager, const std::string& label, std::uint64_t totalBytes, const std::string& growingFile);
  // Something the host found that a failure's message leaves out ("" for nothing); it
  // is added to the failure's line. Called on the main thread once the workers ended.
  using Explainer = std::function<std::string(const ProgressBoard::Line& failed)>;
  void explainFailures(Explainer explainer) { explain = std::move(explainer); }
  // Waits for every attached imager. 0: all succeeded; 1: one failed (reported);
  // 130: interrupted.
  int wait();
  std::vector<ProgressBoard::Line> outcome() const { return board->snapshot(); }

 private:
  void abortAndJoinAll();

  bool terminal;
  InterruptGuard interrupts;
  std::shared_ptr<ProgressBoard> board = std::make_shared<ProgressBoard>();
  std::vector<DiskImager*> imagers;
  Explainer explain;
};

}  // namespace vantor::cli

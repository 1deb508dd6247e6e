// tools/vantor/OperationRunner.h
// Runs the imaging operations of one command to their end: attaches the observers to
// each DiskImager (a board line always; on a terminal the board is drawn in place,
// otherwise the library's console observer prints its plain lines), then waits on the
// main thread, drawing, and polling for Ctrl-C. An interrupt aborts every operation,
// joins every worker and yields status 130. Failures are reported one ERR_ line each.
// The imagers must outlive the runner: its destructor aborts and joins any still
// running (a start that threw part-way, for one).
#pragma once
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
  // error line when the command runs more than one operation). `reportedFile`, when
  // given, is the file an ERR_FILE_ACCESS failure is reported against, with the
  // system's reason where one is known.
  void attach(DiskImager& imager, const std::string& label, std::uint64_t totalBytes, const std::string& growingFile,
              const std::string& reportedFile = std::string());
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
  std::vector<std::string> reportedFiles;
};

}  // namespace vantor::cli

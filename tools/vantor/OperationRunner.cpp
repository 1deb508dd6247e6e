#include "OperationRunner.h"

#include <chrono>
#include <iostream>

#include "ErrorReport.h"
#include "FileFacts.h"
#include "ProgressObserver.h"
#include "Terminal.h"

namespace vantor::cli {

OperationRunner::OperationRunner() : terminal(Terminal::isInteractive()) {}

OperationRunner::~OperationRunner() { abortAndJoinAll(); }

void OperationRunner::attach(DiskImager& imager, const std::string& label, std::uint64_t totalBytes,
                             const std::string& growingFile, const std::string& reportedFile) {
  reportedFiles.push_back(reportedFile);
  const std::size_t line = board->addLine(label, totalBytes, growingFile);
  imager.registerObserver(new ProgressObserver(board, line));
  imagers.push_back(&imager);
}

void OperationRunner::abortAndJoinAll() {
  for (DiskImager* imager : imagers) imager->abort();
  for (DiskImager* imager : imagers) imager->join();
}

int OperationRunner::wait() {
  using namespace std::chrono_literals;
  bool interrupted = false;
  auto lastDraw = std::chrono::steady_clock::now() - 1s;
  std::size_t ended = 0;
  for (;;) {
    bool allDone = true;
    for (DiskImager* imager : imagers) allDone = allDone && imager->done();
    if (allDone) break;
    if (InterruptGuard::raised()) {
      interrupted = true;
      break;
    }
    if (!terminal) {
      board->printSteps(std::cout);
    } else if (std::chrono::steady_clock::now() - lastDraw >= 200ms) {
      board->draw(std::cout);
      lastDraw = std::chrono::steady_clock::now();
    }
    // Woken at once when an operation ends, so that the command ends with it.
    ended = board->waitForEnds(ended, 50ms);
  }
  if (interrupted) {
    for (DiskImager* imager : imagers) imager->abort();
  }
  // done() turns true at abort(), before the worker has stopped: join for the closing notification.
  for (DiskImager* imager : imagers) imager->join();
  if (terminal) {
    board->draw(std::cout);
  } else {
    board->printSteps(std::cout);
  }

  const std::vector<ProgressBoard::Line> lines = board->snapshot();
  int status = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ProgressBoard::Line& line = lines[i];
    if (line.status != ProgressBoard::Status::Failed) continue;
    std::string context = lines.size() > 1 ? line.label : std::string();
    std::string message = line.message;
    if (line.code == ERR_FILE_ACCESS && !reportedFiles[i].empty()) {
      if (message.find(reportedFiles[i]) == std::string::npos) {
        context += (context.empty() ? "" : ": ") + reportedFiles[i];
      }
      const std::string reason = FileFacts::fileErrorReason(line.systemError);
      if (message.empty()) message = "cannot write the file";
      if (!reason.empty()) message += " (" + reason + ")";
    }
    const std::string found = explain ? explain(line) : std::string();
    if (!found.empty()) message += (message.empty() ? "" : ": ") + found;
    ErrorReport::print(line.code, message, context);
    status = 1;
  }
  if (interrupted || InterruptGuard::raised()) {
    std::cerr << "vantor: interrupted" << std::endl;
    return 130;
  }
  return status;
}

}  // namespace vantor::cli

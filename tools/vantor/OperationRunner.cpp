#include "OperationRunner.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "ErrorReport.h"
#include "ProgressObserver.h"
#include "Terminal.h"

namespace vantor::cli {

OperationRunner::OperationRunner() : terminal(Terminal::isInteractive()) {}

OperationRunner::~OperationRunner() { abortAndJoinAll(); }

void OperationRunner::attach(DiskImager& imager, const std::string& label, std::uint64_t totalBytes,
                             const std::string& growingFile) {
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
    std::this_thread::sleep_for(50ms);
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
  for (const ProgressBoard::Line& line : lines) {
    if (line.status != ProgressBoard::Status::Failed) continue;
    const std::string context = lines.size() > 1 ? line.label : std::string();
    std::string message = line.message;
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

#include "OperationRunner.h"

#include <chrono>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "ErrorReport.h"
#include "ProgressObserver.h"
#include "Terminal.h"

namespace vantor::cli {
namespace {

bool ended(const ProgressBoard::Line& line) {
  return line.status != ProgressBoard::Status::Waiting && line.status != ProgressBoard::Status::Running;
}

}  // namespace

void OperationRunner::addProgressOption(CLI::App& command, Progress& progress) {
  command
      .add_option("--progress", progress,
                  "How progress is shown: board (the default) or json (one JSON object per line on standard "
                  "output, for programs; see docs/progress_json.md)")
      ->transform(CLI::CheckedTransformer(std::map<std::string, Progress>{{"board", Progress::Board},
                                                                          {"json", Progress::Json}}))
      ->option_text("board|json");
}

OperationRunner::OperationRunner(Progress progress) : terminal(Terminal::isInteractive()) {
  if (progress == Progress::Json) {
    std::cout.flush();
    standardOutput = std::cout.rdbuf(std::cerr.rdbuf());
    jsonOutput = std::make_unique<std::ostream>(standardOutput);
    json = std::make_unique<ProgressJson>(*jsonOutput);
  }
}

OperationRunner::~OperationRunner() {
  abortAndJoinAll();
  if (standardOutput) std::cout.rdbuf(standardOutput);
}

void OperationRunner::attach(DiskImager& imager, const std::string& target, const std::string& label,
                             std::uint64_t totalBytes, const std::string& growingFile,
                             std::function<std::uint64_t()> bytesDone) {
  const std::size_t line = board->addLine(label, target, totalBytes, growingFile, std::move(bytesDone));
  imager.registerObserver(new ProgressObserver(board, line));
  // The drive never waits for the terminal: an interrupt stops it at its next chunk.
  imager.setTransferMode(DiskImager::TRANSFER_STREAMING);
  imagers.push_back(&imager);
}

void OperationRunner::abortAndJoinAll() {
  for (DiskImager* imager : imagers) imager->abort();
  for (DiskImager* imager : imagers) imager->join();
}

std::string OperationRunner::failureMessage(const ProgressBoard::Line& line) const {
  std::string message = line.message;
  const std::string found = explain ? explain(line) : std::string();
  if (!found.empty()) message += (message.empty() ? "" : ": ") + found;
  return message;
}

void OperationRunner::printJson() {
  const std::vector<ProgressBoard::Line> lines = board->snapshot();
  json->printProgress(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!ended(lines[i]) || json->outcomePrinted(i)) continue;
    imagers[i]->join();
    json->printOutcome(i, lines[i], lines[i].status == ProgressBoard::Status::Failed ? failureMessage(lines[i]) : "");
  }
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
    if (json) {
      printJson();
    } else if (!terminal) {
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
  if (json) {
    printJson();
  } else if (terminal) {
    board->draw(std::cout);
  } else {
    board->printSteps(std::cout);
  }

  const std::vector<ProgressBoard::Line> lines = board->snapshot();
  int status = 0;
  for (const ProgressBoard::Line& line : lines) {
    if (line.status != ProgressBoard::Status::Failed) continue;
    ErrorReport::print(line.code, failureMessage(line), lines.size() > 1 ? line.label : std::string());
    status = 1;
  }
  if (interrupted || InterruptGuard::raised()) {
    std::cerr << "vantor: interrupted" << std::endl;
    return 130;
  }
  return status;
}

}  // namespace vantor::cli

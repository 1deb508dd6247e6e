#include "ProgressBoard.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <libVantor/PathFacts.h>

#include "Terminal.h"
#include "Units.h"

namespace vantor::cli {
namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

bool hasEnded(const ProgressBoard::Line& line) {
  return line.status != ProgressBoard::Status::Running && line.status != ProgressBoard::Status::Waiting;
}

}  // namespace

std::size_t ProgressBoard::addLine(const std::string& label, const std::string& target, std::uint64_t totalBytes,
                                   const std::string& growingFile, std::function<std::uint64_t()> bytesDone) {
  std::lock_guard<std::mutex> guard(mutex);
  Line line;
  line.label = label;
  line.target = target;
  line.totalBytes = totalBytes;
  line.growingFile = growingFile;
  line.bytesDone = std::move(bytesDone);
  line.start = line.end = Clock::now();
  lines.push_back(line);
  stepsPrinted.push_back(-1);
  return lines.size() - 1;
}

void ProgressBoard::started(std::size_t index) {
  std::lock_guard<std::mutex> guard(mutex);
  lines[index].status = Status::Running;
  lines[index].start = Clock::now();
}

void ProgressBoard::progress(std::size_t index, unsigned percent) {
  std::lock_guard<std::mutex> guard(mutex);
  lines[index].percent = percent > 100 ? 100 : percent;
}

void ProgressBoard::finished(std::size_t index, Status status, VantorErrorCodes code, const std::string& message) {
  std::lock_guard<std::mutex> guard(mutex);
  Line& line = lines[index];
  line.status = status;
  line.code = code;
  line.message = message;
  line.end = Clock::now();
  if (status == Status::Succeeded) line.percent = 100;
  ++endedLines;
  ended.notify_all();
}

std::size_t ProgressBoard::waitForEnds(std::size_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex);
  ended.wait_for(guard, timeout, [&] { return endedLines != seen; });
  return endedLines;
}

std::vector<ProgressBoard::Line> ProgressBoard::snapshot() const {
  std::lock_guard<std::mutex> guard(mutex);
  return lines;
}

namespace {

// The file `pattern` names: itself, or for "IMAGE.partial-*" the first file beginning
// with "IMAGE.partial-" and, once there is none, IMAGE (what it became).
std::string growing(const std::string& pattern) {
  if (pattern.empty() || pattern.back() != '*') return pattern;  // a file of its own
  const std::filesystem::path prefix(pattern.substr(0, pattern.size() - 1));
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(prefix.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix.filename().string(), 0) == 0) return entry.path().string();
  }
  const std::string partial = ".partial-";
  const std::string stem = prefix.string();
  return stem.size() > partial.size() && stem.compare(stem.size() - partial.size(), partial.size(), partial) == 0
             ? stem.substr(0, stem.size() - partial.size())
             : std::string();
}

}  // namespace

void ProgressBoard::measure(const Line& line, std::uint64_t& done, std::uint64_t& total) {
  if (line.bytesDone || !line.growingFile.empty()) {
    done = line.bytesDone ? line.bytesDone() : PathFacts::inspect(growing(line.growingFile)).size;
    if (line.totalBytes != 0) {
      total = line.totalBytes;
    } else if (line.status == Status::Succeeded) {
      total = done;
    } else {
      total = line.percent > 0 ? done * 100 / line.percent : 0;
    }
    return;
  }
  total = line.totalBytes;
  done = line.status == Status::Succeeded ? total : total / 100 * line.percent + total % 100 * line.percent / 100;
}

double ProgressBoard::rate(const Line& line, std::uint64_t done) {
  const double elapsed = secondsBetween(line.start, hasEnded(line) ? line.end : Clock::now());
  // A rate over the first instants of a run says nothing; a finished run's says what it did.
  const double minimum = line.status == Status::Running ? 0.2 : 0.0;
  return elapsed > minimum ? static_cast<double>(done) / elapsed : 0.0;
}

std::string ProgressBoard::format(const Line& line, std::size_t labelWidth, std::size_t width) const {
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  measure(line, done, total);
  const double elapsed = secondsBetween(line.start, hasEnded(line) ? line.end : Clock::now());
  const double bytesPerSecond = rate(line, done);

  char percent[16];
  std::snprintf(percent, sizeof percent, "%3u%%", line.percent);
  std::string tail;
  switch (line.status) {
    case Status::Waiting:
      tail = "waiting";
      break;
    case Status::Running: {
      tail = Units::bytes(done) + (total ? " of " + Units::bytes(total) : std::string()) + "  " +
             Units::rate(bytesPerSecond);
      if (line.percent > 0 && line.percent < 100) {
        tail += "  " + Units::duration(elapsed * (100 - line.percent) / line.percent) + " left";
      }
      break;
    }
    case Status::Succeeded:
      tail = "done: " + Units::bytes(done) + " in " + Units::seconds(elapsed) + "  " + Units::rate(bytesPerSecond);
      break;
    case Status::Aborted:
      tail = "aborted";
      break;
    case Status::Failed:
      tail = std::string("failed: ") + errorCodeName(line.code);
      break;
  }
  std::string label = line.label;
  if (label.size() < labelWidth) label.resize(labelWidth, ' ');
  const std::size_t room = width > tail.size() + 10 ? width - tail.size() - 10 : 10;
  if (label.size() > room) label = "..." + label.substr(label.size() - (room - 3));
  std::string text = label + "  " + percent + "  " + tail;
  if (text.size() >= width) text.resize(width - 1);
  return text;
}

void ProgressBoard::draw(std::ostream& out) {
  const std::vector<Line> now = snapshot();
  const std::size_t width = Terminal::width();
  std::string text;
  if (linesDrawn > 0) text += "\033[" + std::to_string(linesDrawn) + "A";
  std::size_t labelWidth = 0;
  for (const Line& line : now) labelWidth = std::max(labelWidth, line.label.size());
  for (const Line& line : now) text += "\r\033[K" + format(line, labelWidth, width) + "\n";
  out << text << std::flush;
  linesDrawn = now.size();
}

void ProgressBoard::printSteps(std::ostream& out) {
  const std::vector<Line> now = snapshot();
  std::string text;
  for (std::size_t i = 0; i < now.size(); ++i) {
    const Line& line = now[i];
    if (line.status == Status::Waiting) continue;
    const int step = line.status == Status::Running ? static_cast<int>(line.percent / 10) : 11;
    if (step <= stepsPrinted[i]) continue;
    stepsPrinted[i] = step;
    text += format(line, 0, 1000) + "\n";
  }
  out << text << std::flush;
}

}  // namespace vantor::cli

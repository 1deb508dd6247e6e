#include "ProgressJson.h"

#include "JsonWriter.h"

namespace vantor::cli {
namespace {

// What every object of a line carries: its target and how far it got.
Json measured(const ProgressBoard::Line& line) {
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  ProgressBoard::measure(line, done, total);
  Json object;
  object["target"] = line.target;
  object["percent"] = line.percent;
  object["bytesDone"] = done;
  object["bytesTotal"] = total;
  object["rate"] = static_cast<std::uint64_t>(ProgressBoard::rate(line, done));
  return object;
}

}  // namespace

ProgressJson::Printed& ProgressJson::printedFor(std::size_t index) {
  if (printed.size() <= index) printed.resize(index + 1);
  return printed[index];
}

void ProgressJson::printProgress(const std::vector<ProgressBoard::Line>& lines) {
  using namespace std::chrono_literals;
  const auto now = std::chrono::steady_clock::now();
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ProgressBoard::Line& line = lines[i];
    if (line.status != ProgressBoard::Status::Running) continue;
    Printed& last = printedFor(i);
    if (last.ended || (static_cast<int>(line.percent) == last.percent && now - last.at < 1s)) continue;
    last.percent = static_cast<int>(line.percent);
    last.at = now;
    text += JsonWriter::text(measured(line)) + "\n";
  }
  if (!text.empty()) out << text << std::flush;
}

void ProgressJson::printOutcome(std::size_t index, const ProgressBoard::Line& line, const std::string& message) {
  Printed& last = printedFor(index);
  if (last.ended) return;
  last.ended = true;
  Json object = measured(line);
  switch (line.status) {
    case ProgressBoard::Status::Succeeded:
      object["outcome"] = "finished";
      break;
    case ProgressBoard::Status::Aborted:
      object["outcome"] = "aborted";
      break;
    default:
      object["outcome"] = "error";
      object["error"] = errorCodeName(line.code);
      object["code"] = static_cast<unsigned>(line.code);
      object["message"] = message;
      break;
  }
  out << JsonWriter::text(object) << "\n" << std::flush;
}

}  // namespace vantor::cli

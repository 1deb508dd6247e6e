// tools/vantor/support/ProgressBoard.h
// The course of every running operation of one command, one line each: its percentage,
// the bytes done, the throughput and the time left, and at the end its outcome. The
// engine's workers report into it through ProgressObserver (any thread); the main
// thread draws it on a terminal, redrawing the same lines in place. Bytes done come from
// the percentage and a known total, or for a capture, whose total is only known at the
// end, from the growing image file. Where the output is no terminal, the main thread
// prints plain lines instead, each naming its operation: one when it starts, one per
// further tenth of its work, one when it ends. One mutex guards every line.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <libVantor/VantorException.h>

namespace vantor::cli {

class ProgressBoard {
 public:
  enum class Status { Waiting, Running, Succeeded, Aborted, Failed };

  struct Line {
    std::string label;
    std::string target;            // the command's TARGET argument the operation works on
    std::uint64_t totalBytes = 0;  // 0: known only from growingFile or bytesDone
    // capture: the image being written; "IMAGE.partial-*" for the library's temporary
    // name for it, then IMAGE once it is in place
    std::string growingFile;
    // The bytes done so far, where the operation counts them itself (a stream of unknown
    // size); called from the thread that draws the board.
    std::function<std::uint64_t()> bytesDone;
    Status status = Status::Waiting;
    unsigned percent = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
    VantorErrorCodes code = ERR_NONE;
    std::string message;
  };

  // A new line; returns its index.
  std::size_t addLine(const std::string& label, const std::string& target, std::uint64_t totalBytes,
                      const std::string& growingFile, std::function<std::uint64_t()> bytesDone = {});

  // Reports from the workers.
  void started(std::size_t line);
  void progress(std::size_t line, unsigned percent);
  void finished(std::size_t line, Status status, VantorErrorCodes code, const std::string& message);

  // Waits until the count of lines that ended differs from `seen`, or `timeout` passed;
  // returns that count.
  std::size_t waitForEnds(std::size_t seen, std::chrono::milliseconds timeout);

  std::vector<Line> snapshot() const;
  // Bytes done of `line` by now, and the best known total (estimated while capturing).
  static void measure(const Line& line, std::uint64_t& done, std::uint64_t& total);
  // Bytes per second over the run so far (the whole run once it ended); 0 over the first
  // instants of a run, where a rate says nothing.
  static double rate(const Line& line, std::uint64_t done);
  // Draws every line; after the first call, draws over the lines drawn before.
  void draw(std::ostream& out);
  // Prints, one text line each, the operations that have started, passed a further
  // tenth of their work or ended since the last call.
  void printSteps(std::ostream& out);

 private:
  std::string format(const Line& line, std::size_t labelWidth, std::size_t width) const;

  mutable std::mutex mutex;
  std::condition_variable ended;  // a line ended
  std::size_t endedLines = 0;
  std::vector<Line> lines;
  std::size_t linesDrawn = 0;
  std::vector<int> stepsPrinted;  // per line: tenths printed so far, 11 once its end was; -1 none
};

}  // namespace vantor::cli

// basekit/vrk/Console.h
// The console streams: vrk::cout and vrk::cerr write each value at once and flush.
// Text is UTF-8. Where standard output or error is a file or a pipe, it goes through
// std::cout and std::cerr, the program's one pair (every module shares the C++ runtime,
// also on Windows), so a host or a test may redirect those streams' buffers to capture
// it; on a Windows console window it is written as UTF-16, so that text beyond ASCII
// shows as written.
#pragma once
#include <iostream>
#include <sstream>
#include <string>

#include <vrk/Export.h>

namespace vrk {

// Writes `text` to the console behind `stream` (std::cout or std::cerr), or to `stream`
// itself when that is no console window.
VRK_EXPORT void writeConsole(std::ostream& stream, bool error, const std::string& text);

class ConsoleStream {
 public:
  explicit ConsoleStream(bool error) : error_(error) {}
  std::ostream& stream() const { return error_ ? std::cerr : std::cout; }
  template <class T>
  const ConsoleStream& operator<<(const T& value) const {
    std::ostringstream text;
    text << value;
    writeConsole(stream(), error_, text.str());
    return *this;
  }

 private:
  bool error_;
};

VRK_EXPORT extern const ConsoleStream cout;
VRK_EXPORT extern const ConsoleStream cerr;
}  // namespace vrk

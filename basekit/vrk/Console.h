// basekit/vrk/Console.h
// The console streams: vrk::cout and vrk::cerr write through std::cout and std::cerr,
// so a test may redirect those streams' buffers to capture what is written.
#pragma once
#include <iostream>

namespace vrk {
class ConsoleStream {
 public:
  explicit ConsoleStream(bool error) : error_(error) {}
  std::ostream& stream() const { return error_ ? std::cerr : std::cout; }
  template <class T>
  const ConsoleStream& operator<<(const T& value) const {
    stream() << value;
    stream().flush();
    return *this;
  }

 private:
  bool error_;
};

extern const ConsoleStream cout;
extern const ConsoleStream cerr;
}  // namespace vrk

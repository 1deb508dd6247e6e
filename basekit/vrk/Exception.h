// basekit/vrk/Exception.h
// Base of every exception the foundation and the libraries above it throw: a message,
// read with getMessage(), and a numeric code (0 unless given). A plain class, not a
// std::exception: its one virtual operation is the destructor, so a class derived from it
// has exactly the virtual operations it declares itself, in their order. Thrown by value,
// caught by reference; a handler for std::exception does not catch it.
#pragma once
#include <vrk/Export.h>
#include <vrk/String.h>

namespace vrk {

class VRK_EXPORT Exception {
 public:
  Exception() = default;
  explicit Exception(const String& message, int code = 0) : message_(message), code_(code) {}
  virtual ~Exception();
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  const String& getMessage() const { return message_; }
  int getCode() const { return code_; }

 private:
  String message_;
  int code_ = 0;
};

}  // namespace vrk

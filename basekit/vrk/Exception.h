// basekit/vrk/Exception.h
// Base of every exception the foundation and the libraries above it throw: a message
// and a numeric code (0 unless given). Thrown by value, caught by reference.
#pragma once
#include <exception>

#include <vrk/String.h>

namespace vrk {

class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(const String& message, int code = 0) : message_(message), code_(code) {}
  ~Exception() override = default;
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  const String& getMessage() const { return message_; }
  int getCode() const { return code_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  String message_;
  int code_ = 0;
};

}  // namespace vrk

// tools/vantor/support/UsageError.h
// A command line that parsed but asks for something that makes no sense (a range
// with one bound, --size on an existing file). main() reports it like a parse error:
// one line on standard error and exit status 2.
#pragma once
#include <stdexcept>
#include <string>

namespace vantor::cli {

class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace vantor::cli

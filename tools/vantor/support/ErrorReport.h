// tools/vantor/support/ErrorReport.h
// The one line in which the host reports a failure on standard error:
// "vantor: ERR_NAME (N): message". Codes that the library raises without a message get
// a short explanation of their own, so the line is never left bare. No state.
#pragma once
#include <string>

#include <libVantor/VantorException.h>

namespace vantor::cli {

class ErrorReport {
 public:
  // `context`, when given, comes before the message ("/dev/sdX: Error writing ...").
  static std::string line(VantorErrorCodes code, const std::string& message, const std::string& context = "");
  static void print(VantorErrorCodes code, const std::string& message, const std::string& context = "");
  static void print(const VantorException& error);
};

}  // namespace vantor::cli

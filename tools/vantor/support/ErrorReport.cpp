#include "ErrorReport.h"

#include <iostream>

namespace vantor::cli {
namespace {

const char* explanation(VantorErrorCodes code) {
  switch (code) {
    case ERR_DISMOUNT_FAILED:
      return "the drive's volumes could not be taken offline (busy?)";
    case ERR_MOUNT_FAILED:
      return "the drive's volumes could not be brought back";
    case ERR_DISK_ACCESS:
      return "the drive could not be read or written";
    case ERR_FILE_ACCESS:
      return "the file could not be read or written";
    case ERR_ABORTED:
      return "aborted";
    default:
      return "failed";
  }
}

}  // namespace

std::string ErrorReport::line(VantorErrorCodes code, const std::string& text, const std::string& context) {
  // Some messages end in a line break of their own, some span lines: the report is one line.
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  std::string joined;
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\n' && message[i] != '\r') {
      joined += message[i];
      continue;
    }
    while (i + 1 < message.size() && (message[i + 1] == '\n' || message[i + 1] == '\r' || message[i + 1] == ' ' ||
                                      message[i + 1] == '\t')) {
      ++i;
    }
    while (!joined.empty() && (joined.back() == ' ' || joined.back() == '\t')) joined.pop_back();
    // "...volume:" followed by its details reads on after a blank alone.
    joined += !joined.empty() && joined.back() == ':' ? " " : "; ";
  }
  message = joined;
  return std::string("vantor: ") + errorCodeName(code) + " (" + std::to_string(static_cast<unsigned>(code)) +
         "): " + (context.empty() ? "" : context + ": ") + (message.empty() ? explanation(code) : message);
}

void ErrorReport::print(VantorErrorCodes code, const std::string& message, const std::string& context) {
  std::cerr << line(code, message, context) << std::endl;
}

void ErrorReport::print(const VantorException& error) { print(error.getErrorCode(), error.getMessage().str()); }

}  // namespace vantor::cli

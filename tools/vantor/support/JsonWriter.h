// tools/vantor/support/JsonWriter.h
// The --json output of the host's commands. A command builds its document as a Json
// value (nlohmann-json; members keep the order they were added in) and prints it here:
// compact, on one line of its own. Bytes that are not UTF-8 (in a file name, a label)
// print as U+FFFD, so that the output always parses. No state.
#pragma once
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

namespace vantor::cli {

using Json = nlohmann::ordered_json;

class JsonWriter {
 public:
  // The document as one line of text, without the newline.
  static std::string text(const Json& document);
  // text(document) and a newline.
  static void print(const Json& document, std::ostream& out);
  // `value` as a string, or null when it is empty.
  static Json stringOrNull(const std::string& value);
};

}  // namespace vantor::cli

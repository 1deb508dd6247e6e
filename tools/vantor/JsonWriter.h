// tools/vantor/JsonWriter.h
// A small writer for the --json output of the listing commands: objects, arrays,
// strings (escaped), numbers and booleans, with commas placed by the writer. The caller
// keeps the nesting balanced; str() gives the text so far. No state beyond the text.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::cli {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The name of the next member of the current object.
  JsonWriter& key(const std::string& name);
  JsonWriter& string(const std::string& text);
  JsonWriter& number(std::uint64_t value);
  JsonWriter& boolean(bool flag);
  JsonWriter& null();

  const std::string& str() const { return text; }
  static std::string quote(const std::string& text);

 private:
  void beforeValue();

  std::string text;
  std::vector<bool> needsComma;  // one per open object or array
  bool afterKey = false;
};

}  // namespace vantor::cli

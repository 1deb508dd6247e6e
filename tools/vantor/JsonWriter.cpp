#include "JsonWriter.h"

#include <cstdio>

namespace vantor::cli {

std::string JsonWriter::quote(const std::string& raw) {
  std::string out = "\"";
  for (const char c : raw) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void JsonWriter::beforeValue() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (!needsComma.empty()) {
    if (needsComma.back()) text += ",";
    needsComma.back() = true;
  }
}

JsonWriter& JsonWriter::beginObject() {
  beforeValue();
  text += "{";
  needsComma.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  text += "}";
  needsComma.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  beforeValue();
  text += "[";
  needsComma.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  text += "]";
  needsComma.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(const std::string& name) {
  beforeValue();
  text += quote(name) + ":";
  afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::string(const std::string& raw) {
  beforeValue();
  text += quote(raw);
  return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
  beforeValue();
  text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool flag) {
  beforeValue();
  text += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  beforeValue();
  text += "null";
  return *this;
}

}  // namespace vantor::cli

#include "JsonWriter.h"

namespace vantor::cli {

std::string JsonWriter::text(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void JsonWriter::print(const Json& document, std::ostream& out) { out << text(document) << "\n"; }

Json JsonWriter::stringOrNull(const std::string& value) { return value.empty() ? Json() : Json(value); }

}  // namespace vantor::cli

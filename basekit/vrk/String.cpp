#include <vrk/String.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include <vrk/Array.h>

namespace vrk {

String& String::toLower() {
  for (char& c : text_) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return *this;
}

String& String::replace(const String& from, const String& to) {
  if (from.empty()) return *this;
  std::string::size_type at = 0;
  while ((at = text_.find(from.text_, at)) != std::string::npos) {
    text_.replace(at, from.size(), to.text_);
    at += to.size();
  }
  return *this;
}

std::u16string String::getUCS2Buffer() const {
  std::u16string out;
  out.reserve(text_.size());
  for (unsigned char c : text_) out.push_back(static_cast<char16_t>(c));
  return out;
}

String String::join(const Array<String>& parts, const String& separator) {
  String out;
  for (u32 i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

String SprintfFormat(const char* format, ...) {
  // Rewrite the two non-C forms into their C99 spellings first.
  std::string fmt;
  for (const char* p = format; *p; ++p) {
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      fmt += "ll";
      p += 2;
    } else if (p[0] == '%' && p[1] == 'C') {
      fmt += "%c";
      ++p;
    } else {
      fmt += *p;
    }
  }
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, fmt.c_str(), copy);
  va_end(copy);
  std::string out;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), fmt.c_str(), args);
    out.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(args);
  return String(std::move(out));
}

}  // namespace vrk

#include <vrk/String.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
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
  // UTF-8 to UTF-16; a byte that starts no valid sequence (overlong forms, surrogates
  // and values past U+10FFFF included) becomes U+FFFD.
  std::u16string out;
  out.reserve(text_.size());
  const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
  for (std::size_t i = 0; i < text_.size();) {
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t code = 0, minimum = 0;
    if (lead < 0x80) {
      length = 1, code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text_.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (byte(i + k) & 0xC0) == 0x80;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
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
  // Rewrite the two non-C forms, the length "I64" and the conversion "C", into their
  // C99 spellings; only inside a conversion, so plain text and "%%" stay as they are.
  std::string fmt;
  for (const char* p = format; *p;) {
    if (*p != '%') {
      fmt += *p++;
      continue;
    }
    fmt += *p++;
    if (*p == '%') {
      fmt += *p++;
      continue;
    }
    while (*p && std::strchr("-+ #0123456789.*", *p)) fmt += *p++;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      fmt += "ll";
      p += 3;
    }
    if (*p == 'C') {
      fmt += 'c';
      ++p;
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

// basekit/vrk/String.h
// Narrow text owned by value, the string type of every interface of the library.
// Converts from const char* and std::string; compares, concatenates and orders like
// std::string. SprintfFormat is printf formatting that also takes the "%I64X" /
// "%I64u" forms for 64-bit values and "%C" for a single character.
#pragma once
#include <ostream>
#include <string>

#include <vrk/Export.h>

namespace vrk {

template <class T>
class Array;

class VRK_EXPORT String {
 public:
  String() = default;
  String(const char* text) : text_(text ? text : "") {}  // NOLINT: implicit by design
  String(const char* text, std::size_t length) : text_(text, length) {}
  String(const std::string& text) : text_(text) {}        // NOLINT
  String(std::string&& text) : text_(std::move(text)) {}  // NOLINT

  const char* c_str() const { return text_.c_str(); }
  std::size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  const std::string& str() const { return text_; }
  char operator[](std::size_t i) const { return text_[i]; }

  // Lower-cases the text in place (ASCII letters) and returns it.
  String& toLower();
  // Replaces every occurrence of `from` by `to`; returns the text.
  String& replace(const String& from, const String& to);
  // A narrow copy of the text.
  String getLowerByteString() const { return *this; }
  // The text as UTF-16 code units (ASCII and Latin-1 map one to one).
  std::u16string getUCS2Buffer() const;
  // The parts in order with `separator` between each two.
  static String join(const Array<String>& parts, const String& separator);

  String& operator+=(const String& other) {
    text_ += other.text_;
    return *this;
  }
  friend String operator+(String a, const String& b) { return a += b; }
  friend String operator+(String a, const char* b) { return a += String(b); }
  friend String operator+(const char* a, const String& b) { return String(a) += b; }
  friend bool operator==(const String& a, const String& b) { return a.text_ == b.text_; }
  friend bool operator!=(const String& a, const String& b) { return a.text_ != b.text_; }
  friend bool operator<(const String& a, const String& b) { return a.text_ < b.text_; }
  friend std::ostream& operator<<(std::ostream& out, const String& s) { return out << s.text_; }

 private:
  std::string text_;
};

// printf into a String. Accepts the C99 conversions plus "%I64" (a 64-bit integer
// follows: %I64X, %I64u) and "%C" (a character).
VRK_EXPORT String SprintfFormat(const char* format, ...);

}  // namespace vrk

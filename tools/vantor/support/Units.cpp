#include "Units.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "UsageError.h"

namespace vantor::cli {
namespace {

// The digits at the start of [first, last) in `base`; the end of them, or null when
// there are none or they do not fit 64 bits.
const char* parseUnsigned(const char* first, const char* last, int base, std::uint64_t& value) {
  const std::from_chars_result result = std::from_chars(first, last, value, base);
  return result.ec == std::errc() ? result.ptr : nullptr;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::uint64_t Units::parseNumber(const std::string& text) {
  std::uint64_t value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* const end = text.data() + text.size();
  if (parseUnsigned(text.data() + (hex ? 2 : 0), end, hex ? 16 : 10, value) != end) {
    throw UsageError("not a number: \"" + text + "\"");
  }
  return value;
}

std::uint64_t Units::parseSize(const std::string& text) {
  std::uint64_t value = 0;
  const char* const last = text.data() + text.size();
  const char* digitsEnd = parseUnsigned(text.data(), last, 10, value);
  if (!digitsEnd) throw UsageError("not a size: \"" + text + "\"");
  // A decimal fraction ("1.5G"): its digits, less trailing zeros, as `fraction` over 10^places.
  std::uint64_t fraction = 0;
  int places = 0;
  if (digitsEnd != last && *digitsEnd == '.') {
    const char* const first = digitsEnd + 1;
    const char* end = first;
    while (end != last && std::isdigit(static_cast<unsigned char>(*end))) ++end;
    if (end == first) throw UsageError("not a size: \"" + text + "\"");
    digitsEnd = end;
    while (end != first && end[-1] == '0') --end;
    places = static_cast<int>(end - first);
    if (places > 18) throw UsageError("too many decimals in \"" + text + "\"");
    if (places > 0) parseUnsigned(first, end, 10, fraction);
  }
  const std::string suffix = upper(text.substr(digitsEnd - text.data()));
  int shift = 0;
  if (suffix.empty() || suffix == "B") {
    shift = 0;
  } else {
    static const std::string letters = "KMGT";
    const std::size_t at = letters.find(suffix[0]);
    const std::string rest = suffix.substr(1);
    if (at == std::string::npos || !(rest.empty() || rest == "B" || rest == "IB")) {
      throw UsageError("unknown size suffix in \"" + text + "\" (use K, M, G or T)");
    }
    shift = 10 * static_cast<int>(at + 1);
  }
  // fraction / 10^places of 2^shift bytes is whole when 5^places divides the fraction and
  // places <= shift: then it is (fraction / 5^places) << (shift - places), below 2^shift.
  std::uint64_t fractionBytes = 0;
  if (places > 0) {
    std::uint64_t fives = 1;
    for (int i = 0; i < places; ++i) fives *= 5;
    if (places > shift || fraction % fives != 0) {
      throw UsageError("\"" + text + "\" is not a whole number of bytes");
    }
    fractionBytes = (fraction / fives) << (shift - places);
  }
  if (shift > 0 && value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    throw UsageError("size too large: \"" + text + "\"");
  }
  return (value << shift) + fractionBytes;  // no carry: the low `shift` bits of the first are zero
}

std::pair<std::uint64_t, std::uint64_t> Units::parseRange(const std::string& text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size()) {
    throw UsageError("a range reads FIRST-LAST (inclusive sector numbers), not \"" + text + "\"");
  }
  return {parseNumber(text.substr(0, dash)), parseNumber(text.substr(dash + 1))};
}

std::string Units::bytes(std::uint64_t count) {
  static const char* const names[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (count < 1024) return std::to_string(count) + " B";
  double value = static_cast<double>(count);
  int unit = 0;
  while (value >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : "%.1f %s", value, names[unit]);
  return text;
}

std::string Units::rate(double bytesPerSecond) {
  if (!(bytesPerSecond > 0.0) || !std::isfinite(bytesPerSecond)) return "-- MiB/s";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
  return text;
}

std::string Units::seconds(double value) {
  if (!(value >= 0.0) || value >= 60.0) return duration(value);
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f s" : "%.1f s", value);
  return text;
}

std::string Units::duration(double seconds) {
  if (!(seconds >= 0.0) || !std::isfinite(seconds)) return "--:--";
  const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned long long>(whole / 60 % 60), static_cast<unsigned long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                  static_cast<unsigned long long>(whole % 60));
  }
  return text;
}

std::string Units::typeByte(std::uint8_t type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", type);
  return text;
}

}  // namespace vantor::cli

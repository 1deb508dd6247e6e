// tools/vantor/posix/SysfsAttribute.h
// One sysfs attribute of a block device ("size", "partition", "loop/backing_file"), as
// text or as a number. A missing or unreadable attribute reads as "" or 0, which sysfs
// never gives for an attribute that is there, so callers need no other failure. No state.
#pragma once
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace vantor::cli {

class SysfsAttribute {
 public:
  // The first line, without the trailing blanks sysfs adds.
  static std::string line(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t')) text.pop_back();
    return text;
  }

  // The first line as a decimal number; 0 when it is not one.
  static std::uint64_t number(const std::filesystem::path& file) {
    const std::string text = line(file);
    std::uint64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
  }
};

}  // namespace vantor::cli

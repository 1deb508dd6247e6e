// os_includes/posix/libVantor/MountTable.cpp
//
// /proc/self/mountinfo, read line by line; a line that does not parse is skipped.
#include <libVantor/MountTable.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vantor::os {
namespace {

bool parseNumber(const std::string& text, u64& value, int base = 10) {
  u64 parsed = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, parsed, base);
  if (text.empty() || result.ec != std::errc() || result.ptr != end) return false;
  value = parsed;
  return true;
}

bool parseDeviceNumber(const std::string& text, u64& device) {
  unsigned major = 0, minor = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  device = deviceNumber(major, minor);
  return true;
}

std::string decodeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    u64 code = 0;
    if (field[i] == '\\' && i + 3 < field.size() && parseNumber(field.substr(i + 1, 3), code, 8) && code < 256) {
      out += static_cast<char>(code);
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

vrk::Array<MountEntry> readMountTable() {
  vrk::Array<MountEntry> table;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before;
    std::string field;
    while (fields >> field && field != "-") before.push_back(field);
    std::string fsType, source, superOptions;
    fields >> fsType >> source >> superOptions;
    if (before.size() < 6 || fsType.empty()) continue;
    MountEntry entry;
    u64 id = 0;
    if (!parseNumber(before[0], id) || !parseDeviceNumber(before[2], entry.device)) continue;
    entry.id = static_cast<u32>(id);
    entry.root = decodeMountField(before[3]);
    entry.target = decodeMountField(before[4]);
    entry.mountOptions = before[5];
    entry.fsType = decodeMountField(fsType);
    entry.source = decodeMountField(source);
    entry.superOptions = decodeMountField(superOptions);
    table.append(std::move(entry));
  }
  return table;
}

vrk::Array<MountEntry> mountsOf(u64 device, const vrk::String& node) {
  vrk::Array<MountEntry> mine;
  for (const MountEntry& entry : readMountTable()) {
    if (entry.device == device || entry.source == node) mine.append(entry);
  }
  return mine;
}

}  // namespace vantor::os

// basekit/vrk/windows/WideText.h
// UTF-8 to UTF-16 and back for the Windows side of Basekit and the libraries above it:
// vrk::String holds UTF-8, the wide system calls take UTF-16. Invalid sequences become
// U+FFFD both ways. Internal to the Windows sources; never installed.
#pragma once
#include <windows.h>

#include <string>

#include <vrk/String.h>

namespace vrk::windows {

inline std::wstring wide(const String& text) {
  const std::u16string units = text.getUCS2Buffer();
  return std::wstring(units.begin(), units.end());
}

inline String narrow(const std::wstring& text) {
  if (text.empty()) return String();
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
  return String(std::move(out));
}

// The path as the wide system calls want it: UTF-16, with "\" between the parts.
inline std::wstring systemPath(const String& path) {
  std::wstring out = wide(path);
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

}  // namespace vrk::windows

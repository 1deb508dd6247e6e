// tools/vantor/windows/WindowsText.h
// Text between the host (UTF-8) and the wide system calls (UTF-16), and the system's
// own wording of an error code. For the host's Windows sources only.
#pragma once
#include <windows.h>

#include <string>

namespace vantor::cli {

inline std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), units);
  return out;
}

inline std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
  return out;
}

// `path` for the wide calls: UTF-16 with "\" between the parts.
inline std::wstring systemPath(const std::string& path) {
  std::wstring out = wide(path);
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

inline std::string errorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                              message.back() == L'.')) {
    message.pop_back();
  }
  return message.empty() ? "system error " + std::to_string(error) : narrow(message);
}

inline std::string lastErrorText() { return errorText(GetLastError()); }

}  // namespace vantor::cli

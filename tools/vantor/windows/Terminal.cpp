// Windows terminals: a console window whose output takes the redrawing sequences
// (ENABLE_VIRTUAL_TERMINAL_PROCESSING, which is switched on here); its width from
// GetConsoleScreenBufferInfo. The arguments from GetCommandLineW and CommandLineToArgvW;
// UTF-8 in the console through SetConsoleOutputCP.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "Terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace vantor::cli {
namespace {

// UTF-16 to UTF-8; what is not valid UTF-16 (a lone surrogate) becomes U+FFFD.
std::string narrow(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.pop_back();  // the terminating zero
  return out;
}

}  // namespace

bool Terminal::isInteractive() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::size_t Terminal::width() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 80;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns >= 40 ? static_cast<std::size_t>(columns) : 80;
}

std::vector<std::string> Terminal::arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return std::vector<std::string>(argv, argv + argc);  // out of memory: as the system gave them
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(narrow(words[i]));
  LocalFree(words);
  return out;
}

namespace {

bool isConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

Terminal::Utf8Console::Utf8Console() {
  if (!isConsole(STD_OUTPUT_HANDLE) && !isConsole(STD_ERROR_HANDLE)) return;
  const UINT current = GetConsoleOutputCP();
  if (current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) previous_ = current;
}

Terminal::Utf8Console::~Utf8Console() {
  if (previous_ != 0) SetConsoleOutputCP(previous_);
}

}  // namespace vantor::cli

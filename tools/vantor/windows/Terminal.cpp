// Windows terminals: a console window whose output takes the redrawing sequences
// (ENABLE_VIRTUAL_TERMINAL_PROCESSING, which is switched on here); its width from
// GetConsoleScreenBufferInfo.
#include <windows.h>

#include "../Terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace vantor::cli {

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

}  // namespace vantor::cli

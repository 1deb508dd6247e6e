// A Windows console window takes UTF-16 (WriteConsoleW); files and pipes take the bytes.
#include <vrk/Console.h>

#include <windows.h>

#include "WideText.h"

namespace vrk {

void writeConsole(std::ostream& stream, bool error, const std::string& text) {
  HANDLE console = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    stream << text << std::flush;
    return;
  }
  stream.flush();  // whatever the stream still holds goes first
  const std::wstring units = windows::wide(String(text));
  DWORD written = 0;
  WriteConsoleW(console, units.data(), static_cast<DWORD>(units.size()), &written, nullptr);
}

}  // namespace vrk

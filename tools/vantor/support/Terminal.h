// tools/vantor/support/Terminal.h
// Whether standard output is a terminal that can redraw lines in place (cursor movement
// and line clearing), and how wide it is; the command line's words, and the console's
// text, in UTF-8 as the rest of the program has them. Implemented once per system.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace vantor::cli {

class Terminal {
 public:
  // True when standard output is a terminal that takes the redrawing sequences.
  static bool isInteractive();
  // Columns of the terminal on standard output; 80 when unknown or narrower than 40.
  static std::size_t width();
  // The command line's words in UTF-8, the program's name first. (Windows hands a
  // program its arguments in the ANSI code page, which cannot hold most names: they are
  // read again from the system, in UTF-16.)
  static std::vector<std::string> arguments(int argc, char** argv);

  // While it lives, a console on standard output or error shows the UTF-8 the program
  // writes as such (Windows: the console's output code page is UTF-8, and what it was
  // comes back after); a redirected stream gets the bytes as they are.
  class Utf8Console {
   public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

   private:
    unsigned previous_ = 0;  // the code page to give back; 0: none was changed
  };
};

}  // namespace vantor::cli

// tools/vantor/Terminal.h
// Whether standard output is a terminal that can redraw lines in place (cursor movement
// and line clearing), and how wide it is. Implemented once per system.
#pragma once
#include <cstddef>

namespace vantor::cli {

class Terminal {
 public:
  // True when standard output is a terminal that takes the redrawing sequences.
  static bool isInteractive();
  // Columns of the terminal on standard output; 80 when unknown or narrower than 40.
  static std::size_t width();
};

}  // namespace vantor::cli

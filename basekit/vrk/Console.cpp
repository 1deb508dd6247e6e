#include <vrk/Console.h>

namespace vrk {
const ConsoleStream cout(false);
const ConsoleStream cerr(true);
}  // namespace vrk

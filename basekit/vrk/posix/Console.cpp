// POSIX consoles are byte streams: the text goes through the stream as it is.
#include <vrk/Console.h>

namespace vrk {

void writeConsole(std::ostream& stream, bool, const std::string& text) { stream << text << std::flush; }

}  // namespace vrk

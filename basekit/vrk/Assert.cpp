#include <vrk/Assert.h>

#include <string>

#include <vrk/Exception.h>
#include <vrk/Log.h>

namespace vrk {

void AssertionFailure::fail(const char* file, int line, const char* expression) {
  LogFactory::createLogger("vrk.Assert")
      .log(LOG_ERROR, String("Assertion failed: ") + expression + " (" + file + ":" + std::to_string(line) + ")");
  throw Exception(String(expression), 7);
}

}  // namespace vrk

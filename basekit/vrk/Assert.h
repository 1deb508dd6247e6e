// basekit/vrk/Assert.h
// VRK_ASSERT(expr): when expr is false, logs the file, line and expression on the
// "vrk.Assert" logger and raises a vrk::Exception with code 7 that carries the
// expression text. Never compiled out: an assertion guards memory safety.
#pragma once
#include <vrk/Export.h>

namespace vrk {
class VRK_EXPORT AssertionFailure {
 public:
  [[noreturn]] static void fail(const char* file, int line, const char* expression);
};
}  // namespace vrk

#define VRK_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : ::vrk::AssertionFailure::fail(__FILE__, __LINE__, #expr))

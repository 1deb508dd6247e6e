#include <vrk/Exception.h>

namespace vrk {

Exception::~Exception() = default;

}  // namespace vrk

// No loop devices on this system: every test that needs one skips with the reason. The
// Windows tests use create() alone.
#include "support/LoopDevice.h"

namespace vantor::test {

std::unique_ptr<LoopDevice> LoopDevice::create(const std::string&, const Options&, std::string& whyNot) {
  whyNot = "loop devices exist on Linux only";
  return nullptr;
}

LoopDevice::~LoopDevice() = default;

}  // namespace vantor::test

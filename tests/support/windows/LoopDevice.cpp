// No loop devices on this system: every test that needs one skips with the reason.
#include "support/LoopDevice.h"

namespace vantor::test {

namespace {
const char* const WHY_NOT = "loop devices exist on Linux only";
}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::create(const std::string&, const Options&, std::string& whyNot) {
  whyNot = WHY_NOT;
  return nullptr;
}

std::unique_ptr<LoopDevice> LoopDevice::attach(const std::string&, u32, std::string& whyNot, bool, bool) {
  whyNot = WHY_NOT;
  return nullptr;
}

LoopDevice::~LoopDevice() = default;

bool LoopDevice::makeExt2(const std::string&, const std::string&) { return false; }
bool LoopDevice::makeFat(const std::string&, const std::string&) { return false; }
bool LoopDevice::mount(const std::string&, const std::string&, const std::string&) { return false; }
std::string LoopDevice::mountAt(const std::string&) { return std::string(); }
void LoopDevice::unmountAll() const {}

}  // namespace vantor::test

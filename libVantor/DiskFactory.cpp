#include <libVantor/DiskFactory.h>

#include <libVantor/WinDiskDevice.h>

namespace vantor {

std::shared_ptr<IDisk> DiskFactory::getDiskDevice(const vrk::String& locator) {
  return std::make_shared<WinDiskDevice>(locator);
}

}  // namespace vantor

// libVantor/DiskFactory.h
// The entry point that opens a physical drive by its operating-system locator (as
// device enumeration reports it) and hands it out as a shared IDisk. The locator is not
// examined: the drive's constructor decides, and its ERR_DISK_ACCESS passes through.
// No state.
#pragma once
#include <memory>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

class VANTOR_EXPORT DiskFactory final {
 public:
  DiskFactory() = default;
  DiskFactory(const DiskFactory&) = default;
  DiskFactory& operator=(const DiskFactory&) { return *this; }
  DiskFactory& operator=(DiskFactory&&) noexcept { return *this; }

  static std::shared_ptr<IDisk> getDiskDevice(const vrk::String& locator);
};

}  // namespace vantor

// The device library's plain values, the same on every system: a device as listed and a
// volume as found. What each system asks of its drives lives on its side of the seam.
#include <libVantor/internal/SysHost.h>

namespace libSysHost {

// --- WindowsDevice ---------------------------------------------------------------------

WindowsDevice::WindowsDevice(const vrk::String& locator, WinDeviceType type, const vrk::String& displayText,
                             const DeviceFacts& facts)
    : locator_(locator), type_(type), display_(displayText), facts_(facts) {}

void WindowsDevice::getDisplayName(vrk::String& name, const vrk::String& extra) const {
  name = display_;
  if (!extra.empty()) name += " " + extra;
}

// --- Volume ----------------------------------------------------------------------------

Volume::Volume(const vrk::String& locator, u64 systemId, char driveLetter, const VolumeExtent& extent,
               bool extentKnown, const FileSystemFacts& fileSystem)
    : locator_(locator),
      systemId_(systemId),
      driveLetter_(driveLetter),
      extent_(extent),
      extentKnown_(extentKnown),
      fileSystem_(fileSystem) {}

bool Volume::getDriveLetter(char& letter) const {
  if (driveLetter_ == 0) return false;
  letter = driveLetter_;
  return true;
}

bool Volume::getExtent(VolumeExtent& extent) const {
  if (extentKnown_) extent = extent_;
  return extentKnown_;
}

}  // namespace libSysHost

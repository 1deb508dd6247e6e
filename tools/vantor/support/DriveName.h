// tools/vantor/support/DriveName.h
// How the host names a listed drive to the user: its node's name, then its maker and
// model or the file behind it ("sdb: SanDisk Cruzer Blade", "loop3: /tmp/disk.img",
// "PhysicalDrive1: Kingston DataTraveler 3.0"), or the name alone. No state.
#pragma once
#include <string>

#include <libVantor/DriveListing.h>

namespace vantor::cli {

class DriveName {
 public:
  static std::string of(const LISTED_DRIVE& drive) {
    const std::size_t slash = drive.locator.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? drive.locator : drive.locator.substr(slash + 1);
    return drive.product.empty() ? name : name + ": " + drive.product;
  }
};

}  // namespace vantor::cli

// vantor list: the machine's drives that pass the chosen kinds.
#include <sys/stat.h>

#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include <libVantor/DiskDevice.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDisk.h>

#include "BlockDevice.h"
#include "Commands.h"
#include "ErrorReport.h"
#include "JsonWriter.h"
#include "Units.h"

namespace vantor::cli {
namespace {

struct ListOptions {
  bool all = false;
  bool usb = false;
  bool cards = false;
  bool internal = false;
  std::uint16_t sectorSize = 0;
  bool json = false;
};

// The enumeration flags for the chosen kinds; USB keys and memory cards when none is chosen.
std::uint32_t enumerationFlags(const ListOptions& options) {
  std::uint32_t flags = 0;
  if (options.all) flags |= 0x10;
  if (options.internal) flags |= 0x02;
  if (options.usb) flags |= 0x04;
  if (options.cards) flags |= 0x08;
  return flags == 0 ? 0x04 | 0x08 : flags;
}

// The device node a listed drive was opened from. The device record carries no
// locator, so it is found from the drive's open handle.
std::string nodeOf(const DiskDevice& device) {
  const auto* disk = dynamic_cast<const WinDisk*>(&device.rawDisk());
  struct stat info {};
  if (disk == nullptr || !disk->getHandle().isValid() || ::fstat(disk->getHandle().get(), &info) != 0 ||
      !S_ISBLK(info.st_mode)) {
    return "?";
  }
  const std::string name = BlockDevice::kernelNameOf(info.st_rdev);
  return name.empty() ? "?" : "/dev/" + name;
}

const char* mediaName(MediaType media) {
  switch (media) {
    case MEDIA_REMOVABLE:
      return "removable";
    case MEDIA_FIXED:
      return "fixed";
    default:
      return "unknown";
  }
}

void printTable(const vrk::Array<DiskDevice>& devices) {
  if (devices.empty()) {
    std::cout << "No drives of the chosen kinds found (USB keys and cards by default; see --all).\n";
    return;
  }
  std::cout << std::left << std::setw(16) << "DEVICE" << std::setw(12) << "CAPACITY" << std::setw(8) << "SECTOR"
            << std::setw(11) << "MEDIA" << "DESCRIPTION / MOUNTED AT\n";
  for (const DiskDevice& device : devices) {
    std::cout << std::left << std::setw(16) << nodeOf(device) << std::setw(12) << Units::bytes(device.capacityBytes())
              << std::setw(8) << device.getSectorSize() << std::setw(11) << mediaName(device.getMediaType())
              << device.description().str();
    for (const vrk::String& mount : device.mountPoints()) std::cout << "  " << mount.str();
    std::cout << "\n";
  }
}

void printJson(const vrk::Array<DiskDevice>& devices) {
  JsonWriter json;
  json.beginArray();
  for (const DiskDevice& device : devices) {
    json.beginObject();
    json.key("device").string(nodeOf(device));
    json.key("description").string(device.description().str());
    json.key("capacityBytes").number(device.capacityBytes());
    json.key("sectorSize").number(device.getSectorSize());
    json.key("media").string(mediaName(device.getMediaType()));
    json.key("mountPoints").beginArray();
    for (const vrk::String& mount : device.mountPoints()) json.string(mount.str());
    json.endArray();
    json.endObject();
  }
  json.endArray();
  std::cout << json.str() << "\n";
}

int runList(const ListOptions& options) {
  vrk::Array<DiskDevice> devices;
  int status = 0;
  try {
    DiskDevice::enumDevices(devices, enumerationFlags(options), options.sectorSize);
  } catch (const VantorException& error) {
    // The listing stops at a drive that cannot be opened; show what was found before it.
    ErrorReport::print(error);
    status = 1;
  }
  if (options.json) {
    printJson(devices);
  } else {
    printTable(devices);
  }
  return status;
}

}  // namespace

void addListCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<ListOptions>();
  CLI::App* command = app.add_subcommand("list", "List the drives of this machine (USB keys and cards by default)");
  command->add_flag("--all", options->all, "Every kind of drive, loop devices included");
  command->add_flag("--usb", options->usb, "USB-attached disks");
  command->add_flag("--cards", options->cards, "Memory cards");
  command->add_flag("--internal", options->internal, "Internal disks");
  command->add_option("--sector-size", options->sectorSize, "Only drives with sectors of this many bytes");
  command->add_flag("--json", options->json, "Print the list as JSON");
  command->callback([options, &action] { action = [options] { return runList(*options); }; });
}

}  // namespace vantor::cli

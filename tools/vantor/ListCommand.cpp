// vantor list: the machine's drives of the chosen kinds, each with the file systems of
// its volumes. Each is opened on its own, so a drive that refuses (no permission, no
// medium) is listed with the reason and the others still are: the library's enumeration
// would end at it instead.
#include <iomanip>
#include <iostream>
#include <memory>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/VantorException.h>

#include "BlockDevice.h"
#include "Commands.h"
#include "JsonWriter.h"
#include "Units.h"
#include "VolumeFacts.h"

namespace vantor::cli {
namespace {

struct ListOptions {
  bool all = false;
  bool usb = false;
  bool cards = false;
  bool internal = false;
  bool virtualDisks = false;
  std::uint16_t sectorSize = 0;
  bool json = false;
};

// One listed drive: opened, or the reason it could not be.
struct Drive {
  std::string node;
  BlockDevice block;
  std::shared_ptr<DiskDevice> device;
  std::string failure;
  std::vector<VolumeFacts> volumes;

  std::uint64_t capacity() const { return device ? device->capacityBytes() : block.sizeBytes(); }
  std::uint32_t sectorSize() const { return device ? device->getSectorSize() : block.logicalSectorSize(); }
};

// USB keys and memory cards when no kind is chosen.
bool chosen(const ListOptions& options, BlockDevice::Kind kind) {
  const bool noneChosen = !options.usb && !options.cards && !options.internal && !options.virtualDisks;
  switch (kind) {
    case BlockDevice::Kind::Usb:
      return options.all || options.usb || noneChosen;
    case BlockDevice::Kind::Card:
      return options.all || options.cards || noneChosen;
    case BlockDevice::Kind::Internal:
      return options.all || options.internal;
    case BlockDevice::Kind::Virtual:
      return options.all || options.virtualDisks;
    default:
      return false;
  }
}

// Why the library could not open the drive: the system's answer to a plain open of the
// node (permission, no medium), or the library's message when that open works.
std::string openFailure(const Drive& drive, const VantorException& error) {
  const std::string failure = BlockDevice::openError(drive.node);
  return failure.empty() ? error.getMessage().str() : failure;
}

std::vector<Drive> listDrives(const ListOptions& options) {
  std::vector<Drive> drives;
  for (const BlockDevice& block : BlockDevice::disks()) {
    if (!chosen(options, block.kind())) continue;
    Drive drive{block.node(), block, nullptr, std::string(), VolumeFacts::ofDevice(block.kernelName())};
    try {
      drive.device = std::make_shared<DiskDevice>(block.description(), DiskFactory::getDiskDevice(drive.node));
    } catch (const VantorException& error) {
      drive.failure = openFailure(drive, error);
    }
    if (options.sectorSize != 0 && drive.sectorSize() != 0 && drive.sectorSize() != options.sectorSize) continue;
    drives.push_back(std::move(drive));
  }
  return drives;
}

const char* mediaName(const Drive& drive) {
  if (!drive.device) return "-";
  switch (drive.device->getMediaType()) {
    case MEDIA_REMOVABLE:
      return "removable";
    case MEDIA_FIXED:
      return "fixed";
    default:
      return "unknown";
  }
}

void printTable(const std::vector<Drive>& drives) {
  if (drives.empty()) {
    std::cout << "No drives of the chosen kinds found (USB keys and cards by default; see --all).\n";
    return;
  }
  std::cout << std::left << std::setw(16) << "DEVICE" << std::setw(12) << "CAPACITY" << std::setw(8) << "SECTOR"
            << std::setw(11) << "MEDIA" << "DESCRIPTION / MOUNTED AT\n";
  for (const Drive& drive : drives) {
    std::cout << std::left << std::setw(16) << drive.node << std::setw(12) << Units::bytes(drive.capacity())
              << std::setw(8) << drive.sectorSize() << std::setw(11) << mediaName(drive)
              << drive.block.description();
    for (const VolumeFacts& volume : drive.volumes) {
      if (!volume.summary().empty()) std::cout << ", " << volume.summary();
    }
    if (drive.device) {
      for (const vrk::String& mount : drive.device->mountPoints()) std::cout << "  " << mount.str();
    } else {
      std::cout << "  (cannot be opened: " << drive.failure << ")";
    }
    std::cout << "\n";
  }
}

void printJson(const std::vector<Drive>& drives) {
  Json list = Json::array();
  for (const Drive& drive : drives) {
    Json entry;
    entry["device"] = drive.node;
    entry["description"] = drive.block.description();
    entry["capacityBytes"] = drive.capacity();
    entry["sectorSize"] = drive.sectorSize();
    entry["media"] = drive.device ? mediaName(drive) : "unknown";
    entry["mountPoints"] = Json::array();
    if (drive.device) {
      for (const vrk::String& mount : drive.device->mountPoints()) entry["mountPoints"].push_back(mount.str());
    }
    entry["openError"] = drive.device ? Json() : Json(drive.failure);
    entry["volumes"] = Json::array();
    for (const VolumeFacts& volume : drive.volumes) {
      Json facts;
      facts["node"] = volume.node;
      facts["fileSystem"] = JsonWriter::stringOrNull(volume.fileSystem);
      facts["label"] = JsonWriter::stringOrNull(volume.label);
      facts["uuid"] = JsonWriter::stringOrNull(volume.uuid);
      entry["volumes"].push_back(std::move(facts));
    }
    list.push_back(std::move(entry));
  }
  JsonWriter::print(list, std::cout);
}

int runList(const ListOptions& options) {
  const std::vector<Drive> drives = listDrives(options);
  if (options.json) {
    printJson(drives);
  } else {
    printTable(drives);
  }
  return 0;
}

}  // namespace

void addListCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<ListOptions>();
  CLI::App* command = app.add_subcommand("list", "List the drives of this machine (USB keys and cards by default)");
  command->add_flag("--all", options->all, "Every kind of drive, loop devices included");
  command->add_flag("--usb", options->usb, "USB-attached disks");
  command->add_flag("--cards", options->cards, "Memory cards");
  command->add_flag("--internal", options->internal, "Internal disks");
  command->add_flag("--virtual", options->virtualDisks, "Loop devices bound to a file, network block devices");
  command->add_option("--sector-size", options->sectorSize, "Only drives with sectors of this many bytes");
  command->add_flag("--json", options->json, "Print the list as JSON");
  command->callback([options, &action] { action = [options] { return runList(*options); }; });
}

}  // namespace vantor::cli

// vantor list: the machine's drives of the chosen kinds, each with the file systems of
// its volumes and where they are mounted, as the library lists them. A drive that does
// not open (no permission, no medium) is listed with the reason.
#include <iomanip>
#include <iostream>
#include <memory>

#include <libVantor/DriveListing.h>

#include "Commands.h"
#include "DriveName.h"
#include "JsonWriter.h"
#include "Units.h"

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

// USB keys and memory cards when no kind is chosen.
bool chosen(const ListOptions& options, DriveKind kind) {
  const bool noneChosen = !options.usb && !options.cards && !options.internal && !options.virtualDisks;
  switch (kind) {
    case DRIVE_USB:
      return options.all || options.usb || noneChosen;
    case DRIVE_CARD:
      return options.all || options.cards || noneChosen;
    case DRIVE_INTERNAL:
      return options.all || options.internal;
    case DRIVE_VIRTUAL:
      return options.all || options.virtualDisks;
  }
  return false;
}

std::vector<LISTED_DRIVE> listDrives(const ListOptions& options) {
  std::vector<LISTED_DRIVE> drives;
  for (LISTED_DRIVE& drive : DriveListing::drives()) {
    if (!chosen(options, drive.kind)) continue;
    if (options.sectorSize != 0 && drive.sectorSize != 0 && drive.sectorSize != options.sectorSize) continue;
    drives.push_back(std::move(drive));
  }
  return drives;
}

const char* mediaName(const LISTED_DRIVE& drive) {
  switch (drive.media) {
    case MEDIA_REMOVABLE:
      return "removable";
    case MEDIA_FIXED:
      return "fixed";
    default:
      return "unknown";
  }
}

// "vfat 'PHOTOS'", "ext2", or "" when no file system was recognised.
std::string summary(const LISTED_VOLUME& volume) {
  if (volume.fileSystem.empty()) return std::string();
  return volume.label.empty() ? volume.fileSystem : volume.fileSystem + " '" + volume.label + "'";
}

void printTable(const std::vector<LISTED_DRIVE>& drives) {
  if (drives.empty()) {
    std::cout << "No drives of the chosen kinds found (USB keys and cards by default; see --all).\n";
    return;
  }
  std::cout << std::left << std::setw(16) << "DEVICE" << std::setw(12) << "CAPACITY" << std::setw(8) << "SECTOR"
            << std::setw(11) << "MEDIA" << "DESCRIPTION / MOUNTED AT\n";
  for (const LISTED_DRIVE& drive : drives) {
    std::cout << std::left << std::setw(16) << drive.locator << std::setw(12) << Units::bytes(drive.sizeBytes)
              << std::setw(8) << drive.sectorSize << std::setw(11) << mediaName(drive) << DriveName::of(drive);
    for (const LISTED_VOLUME& volume : drive.volumes) {
      if (!summary(volume).empty()) std::cout << ", " << summary(volume);
    }
    if (drive.readOnly) std::cout << " (read-only)";
    for (const std::string& mount : drive.mountPoints) std::cout << "  " << mount;
    if (!drive.openError.empty()) std::cout << "  (cannot be opened: " << drive.openError << ")";
    std::cout << "\n";
  }
}

Json stringsJson(const std::vector<std::string>& strings) {
  Json list = Json::array();
  for (const std::string& text : strings) list.push_back(text);
  return list;
}

void printJson(const std::vector<LISTED_DRIVE>& drives) {
  Json list = Json::array();
  for (const LISTED_DRIVE& drive : drives) {
    Json entry;
    entry["device"] = drive.locator;
    entry["description"] = DriveName::of(drive);
    entry["capacityBytes"] = drive.sizeBytes;
    entry["sectorSize"] = drive.sectorSize;
    entry["media"] = mediaName(drive);
    entry["readOnly"] = drive.readOnly;
    entry["mountPoints"] = stringsJson(drive.mountPoints);
    entry["openError"] = JsonWriter::stringOrNull(drive.openError);
    entry["volumes"] = Json::array();
    for (const LISTED_VOLUME& volume : drive.volumes) {
      Json facts;
      facts["node"] = volume.locator;
      facts["fileSystem"] = JsonWriter::stringOrNull(volume.fileSystem);
      facts["label"] = JsonWriter::stringOrNull(volume.label);
      facts["uuid"] = JsonWriter::stringOrNull(volume.uuid);
      facts["firstByte"] = volume.extentKnown ? Json(volume.firstByte) : Json();
      facts["byteCount"] = volume.extentKnown ? Json(volume.byteCount) : Json();
      facts["mountPoints"] = stringsJson(volume.mountPoints);
      facts["driveLetters"] = stringsJson(volume.driveLetters);
      entry["volumes"].push_back(std::move(facts));
    }
    list.push_back(std::move(entry));
  }
  JsonWriter::print(list, std::cout);
}

int runList(const ListOptions& options) {
  const std::vector<LISTED_DRIVE> drives = listDrives(options);
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

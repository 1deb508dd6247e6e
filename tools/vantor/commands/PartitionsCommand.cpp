// vantor partitions: the MBR table, its backup sector, and switching the MBR between
// one selected partition and all of them. On a block device with partition nodes, each
// entry the kernel has a node for is shown with that node's file system. `show` also
// reads a captured image, as the drive it was captured from would show.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <memory>

#include <libVantor/DriveListing.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/MBRPartitions.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/PartitionTypes.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ImageFile.h"
#include "JsonWriter.h"
#include "RemountGuard.h"
#include "SectorReader.h"
#include "Target.h"
#include "TargetGuard.h"
#include "Units.h"
#include "UsageError.h"
#include "VolumeLines.h"

namespace vantor::cli {
namespace {

// The subcommands of `partitions`, chosen on the command line.
enum class Action { Show, Backup, Select, SelectType, Restore };

const char* nameOf(Action action) {
  switch (action) {
    case Action::Show:
      return "show";
    case Action::Backup:
      return "backup";
    case Action::Select:
      return "select";
    case Action::SelectType:
      return "select-type";
    case Action::Restore:
      break;
  }
  return "restore";
}

struct PartitionsOptions {
  std::string target;
  Action action = Action::Show;
  std::string argument;  // select: the backup partition's number, from 1; select-type: the name or type number
  bool json = false;
  bool yes = false;
  bool force = false;
  TargetOptions targetOptions;
};


// The partition node lying where `entry` says, among `volumes`; null when none does.
const LISTED_VOLUME* volumeOf(const PARTITION_TABLE_ENTRY& entry, u32 sectorSize, const std::vector<LISTED_VOLUME>& volumes) {
  if (entry.partitionType == 0) return nullptr;
  for (const LISTED_VOLUME& volume : volumes) {
    if (volume.extentKnown && volume.firstByte == u64(entry.startLBA) * sectorSize &&
        volume.byteCount == u64(entry.sectorCount) * sectorSize) {
      return &volume;
    }
  }
  return nullptr;
}

void printTable(const char* title, const std::vector<PARTITION_TABLE_ENTRY>& entries, u32 sectorSize,
                const std::vector<LISTED_VOLUME>& volumes) {
  std::cout << title << "\n";
  std::cout << "  " << std::left << std::setw(6) << "NR" << std::setw(6) << "BOOT" << std::setw(26) << "TYPE"
            << std::right << std::setw(12) << "START" << std::setw(12) << "SECTORS" << "  "
            << (volumes.empty() ? "SIZE\n" : "SIZE        VOLUME\n");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PARTITION_TABLE_ENTRY& entry = entries[i];
    const std::string size = entry.partitionType ? Units::bytes(u64(entry.sectorCount) * sectorSize) : "";
    std::cout << "  " << std::left << std::setw(6) << i + 1 << std::setw(6)  // numbered from 1, as part1.img
              << (entry.bootIndicator == 0x80 ? "*" : "") << std::setw(26)
              << (Units::typeByte(entry.partitionType) + " " + VolumeLines::mbrTypeName(entry.partitionType)) << std::right << std::setw(12)
              << entry.startLBA << std::setw(12) << entry.sectorCount << "  ";
    if (const LISTED_VOLUME* volume = volumeOf(entry, sectorSize, volumes)) {
      std::cout << std::left << std::setw(12) << size << volume->locator;
      if (!volume->fileSystem.empty()) std::cout << " " << volume->fileSystem;
      if (!volume->label.empty()) std::cout << " '" << volume->label << "'";
    } else {
      std::cout << size;
    }
    std::cout << "\n";
  }
}

// The entries as JSON; on a block device (`volumes` not empty) each names its node and
// that node's file system, null where the kernel has no node for it.
Json entriesJson(const std::vector<PARTITION_TABLE_ENTRY>& entries, u32 sectorSize,
                 const std::vector<LISTED_VOLUME>& volumes) {
  Json list = Json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PARTITION_TABLE_ENTRY& entry = entries[i];
    Json item;
    item["number"] = i + 1;  // from 1, as select takes it (the library's slot is one less)
    item["bootable"] = entry.bootIndicator == 0x80;
    item["type"] = entry.partitionType;
    item["typeName"] = VolumeLines::mbrTypeName(entry.partitionType);
    item["startLBA"] = entry.startLBA;
    item["sectorCount"] = entry.sectorCount;
    if (!volumes.empty()) {
      const LISTED_VOLUME* volume = volumeOf(entry, sectorSize, volumes);
      item["node"] = volume ? Json(volume->locator) : Json();
      item["fileSystem"] = volume ? JsonWriter::stringOrNull(volume->fileSystem) : Json();
      item["label"] = volume ? JsonWriter::stringOrNull(volume->label) : Json();
    }
    list.push_back(std::move(item));
  }
  return list;
}

// The partition nodes of the target, when it is a listed drive.
std::vector<LISTED_VOLUME> partitionNodesOf(const Target& target) {
  LISTED_DRIVE drive;
  if (!target.isBlockDevice() || !DriveListing::find(target.path(), drive)) return {};
  std::vector<LISTED_VOLUME> partitions;
  for (LISTED_VOLUME& volume : drive.volumes) {
    if (volume.locator != drive.locator) partitions.push_back(std::move(volume));  // not the whole drive
  }
  return partitions;
}

// What a drive holds beyond the four primary entries: a GPT's partitions, logical
// volumes, or a file system on the whole drive; empty for an MBR of primaries only (the
// MBR table above says all).
// A GPT that cannot be read is an error; anything else the MBR table above shows.
DRIVE_LAYOUT volumesBeyondTheMbr(IDisk& disk) {
  DRIVE_LAYOUT layout;
  try {
    layout = DriveVolumes::ofDisk(disk);
  } catch (const VantorException&) {
    if (DriveVolumes::tableOf(disk) == "gpt") throw;
    return {};
  }
  const bool logical = std::any_of(layout.volumes.begin(), layout.volumes.end(),
                                   [](const DRIVE_VOLUME& v) { return v.number > 4; });
  if (layout.table == "mbr" && !logical) return {};
  return layout;
}

// `volumes`: the partition nodes of a block device, to be named beside the entries.
void show(IDisk& disk, const MBRPartitions& partitions, u32 sectorSize, bool asJson,
          const std::vector<LISTED_VOLUME>& volumes) {
  const auto& backup = partitions.backupPartitionTable();
  const DRIVE_LAYOUT beyond = volumesBeyondTheMbr(disk);
  if (asJson) {
    Json json;
    if (!beyond.volumes.empty()) json["layout"] = VolumeLines::json(beyond);
    json["mbr"] = entriesJson(partitions.partitionTable(), sectorSize, volumes);
    json["backup"] = backup ? entriesJson(*backup, sectorSize, volumes) : Json();
    json["backupMatchesMBR"] = partitions.backupPartitionsAndMBRMatch();
    json["legacyAndPrimary"] = partitions.isUsingLegacyAndPrimaryPartitions();
    JsonWriter::print(json, std::cout);
    return;
  }
  printTable("MBR partition table (sector 0):", partitions.partitionTable(), sectorSize, volumes);
  if (!beyond.volumes.empty()) VolumeLines::printTable(std::cout, beyond, sectorSize);
  if (beyond.table == "gpt") return;  // a protective MBR has no backup partitions
  if (backup) {
    printTable("Backup partitions (sector 2):", *backup, sectorSize, volumes);
    std::cout << (partitions.backupPartitionsAndMBRMatch() ? "The MBR exposes every backup partition.\n"
                                                            : "The MBR exposes a selection of the backup partitions.\n");
  } else {
    std::cout << "No backup partitions sector for this table.\n";
  }
  if (partitions.isUsingLegacyAndPrimaryPartitions()) {
    std::cout << "Layout: legacy (" << Units::typeByte(MBRPartitions::LEGACY_PARTITION_TYPE) << ") and primary ("
              << Units::typeByte(MBRPartitions::PRIMARY_PARTITION_TYPE) << ").\n";
  }
}

// What the backup sector holds when it is neither zero nor a partitions backup; "" when
// it is one of the two (or cannot be read: the write will tell). A backup begins as the
// sector the library makes for the current table does: with its magic.
std::string foreignBackupSector(const IDisk& disk) {
  const std::vector<unsigned char> sector = SectorReader::read(disk, MBRPartitions::BACKUP_SECTOR);
  if (sector.empty() || MBRPartitions::isBackupSector(sector.data(), sector.size())) return "";
  const auto first = std::find_if(sector.begin(), sector.end(), [](unsigned char b) { return b != 0; });
  if (first == sector.end()) return "";
  // With 512-byte sectors an ext2/3/4 superblock starts right at sector 2 (byte 1024).
  if (sector.size() == 512 && sector[56] == 0x53 && sector[57] == 0xEF) {
    return "an ext2/3/4 superblock (a file system that starts at sector 0)";
  }
  std::string bytes;
  for (auto it = first; it != sector.end() && it - first < 16; ++it) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", *it);
    bytes += hex;
  }
  const auto nonZero = std::count_if(sector.begin(), sector.end(), [](unsigned char b) { return b != 0; });
  return std::to_string(nonZero) + " non-zero bytes of other data (from byte " +
         std::to_string(first - sector.begin()) + ":" + bytes + (sector.end() - first > 16 ? " ..." : "") + ")";
}

// Refuses a backup that has nothing to save or that would lose backup partitions the
// MBR does not expose.
void checkBackup(const MBRPartitions& partitions, bool force) {
  bool anyUsed = false;
  for (const PARTITION_TABLE_ENTRY& entry : partitions.partitionTable()) anyUsed = anyUsed || entry.partitionType != 0;
  if (!anyUsed) throw VantorException(ERR_INVALID_ARGUMENT, "the MBR holds no partition to back up");
  if (partitions.backupPartitionTable() && !partitions.backupPartitionsAndMBRMatch() && !force) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          "the MBR exposes a selection of the backup partitions; backing it up would lose the others "
                          "(run \"restore\" first, or give --force)");
  }
}

// Writes the backup sector for the current table; the caller dismounts the drive first.
void writeBackup(IDisk& disk, const MBRPartitions& partitions) {
  const std::pair<u32, vrk::Buffer<u8>> sector = partitions.createBackupMBRPartitionsSector();
  if (!disk.writeSectors(sector.first, sector.second.data(), 1)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::String("Error writing the backup partitions sector ") +
                                               std::to_string(sector.first));
  }
}

// The table of a captured image, read as the image would lie on a drive (ImageDisk).
int showImage(const PartitionsOptions& options, const std::string& path) {
  const std::shared_ptr<IDisk> disk = std::make_shared<ImageDisk>(path);
  const MBRPartitions partitions(disk);
  show(*disk, partitions, disk->getSectorSize(), options.json, {});
  return 0;
}

int runPartitions(PartitionsOptions options) {
  const Action action = options.action;
  ImageFile::refuseCompressed(Target::absolutePath(options.target), options.target, "partitions",
                              action != Action::Show);
  if (action == Action::Show && ImageFile::startsWithImage(Target::absolutePath(options.target))) {
    return showImage(options, Target::absolutePath(options.target));
  }
  options.targetOptions.forWriting = action != Action::Show;

  Target target = Target::open(options.target, options.targetOptions);
  std::shared_ptr<IDisk> disk = target.device().rawDiskPtr();
  MBRPartitions partitions(disk);
  const u32 sectorSize = disk->getSectorSize();
  if (action == Action::Show) {
    show(*disk, partitions, sectorSize, options.json, partitionNodesOf(target));
    return 0;
  }

  // The backup sector and a selection are MBR-only: on a GPT disk sector 2 lies inside the
  // primary entry array, and no flag writes there.
  if (DriveVolumes::tableOf(*disk) == "gpt") {
    throw VantorException(ERR_INVALID_ARGUMENT, target.path() + " holds a GPT (its sector 0 is a protective MBR): "
                                                "the backup partitions work on MBR tables only; nothing was written");
  }
  // Every value is checked before the question is asked and anything is written.
  std::uint64_t slot = 0;
  std::uint64_t type = 0;
  if (action == Action::Select) {
    // Numbered from 1 as partitions show, part1.img and the system number them; the
    // library's slots count from 0.
    const std::uint64_t number = Units::parseNumber(options.argument);
    if (number == 0 || number > 0xFFFFFFFFu) {
      throw UsageError("backup partition " + options.argument + " does not exist (they are numbered from 1)");
    }
    slot = number - 1;
    const auto& backup = partitions.backupPartitionTable();
    if (backup && slot >= backup->size()) {
      throw UsageError("backup partition " + options.argument + " does not exist (partitions 1 to " +
                       std::to_string(backup->size()) + ")");
    }
  } else if (action == Action::SelectType && std::isdigit(static_cast<unsigned char>(options.argument[0]))) {
    type = Units::parseNumber(options.argument);
    if (type == 0 || type > 0xFF) throw UsageError("a partition type is a number from 1 to 0xff");
  }

  if (action == Action::Backup) checkBackup(partitions, options.force);
  if (action == Action::Backup && !options.force) {
    const std::string found = foreignBackupSector(*disk);
    if (!found.empty()) {
      throw VantorException(ERR_INVALID_ARGUMENT, "sector 2 holds " + found +
                                                      ", not a partitions backup (--force overwrites it); "
                                                      "nothing was written");
    }
  }
  TargetGuard guard(options.yes, options.force);
  guard.add(target);
  guard.require(action == Action::Backup ? "write the backup partitions sector (sector 2)"
                                         : "rewrite the MBR partition table");
  {
    // Once begun, the change runs to its end and the drive is mounted back; a signal
    // that came in meanwhile is answered afterwards. The table writes of the library
    // dismount and mount back themselves; the backup sector's write does it here.
    const RemountGuard hold(action == Action::Backup ? disk.get() : nullptr);
    switch (action) {
      case Action::Backup:
        writeBackup(*disk, partitions);
        break;
      case Action::Select:
        partitions.selectBackupPartition(static_cast<u32>(slot));
        break;
      case Action::SelectType:
        if (type != 0) {
          partitions.selectBackupPartitionByType(static_cast<u8>(type));
        } else {
          partitions.selectBackupPartitionByType(vrk::String(options.argument));
        }
        break;
      case Action::Restore:
      case Action::Show:
        partitions.restoreBackupPartitions();
        break;
    }
    partitions.refresh();
  }
  const std::string done = std::string(nameOf(action)) + " on " + target.path();
  if (RemountGuard::interruptedAfter(done + " was finished")) return 130;
  if (!options.json) std::cout << "Done: " << done << "\n";
  show(*disk, partitions, sectorSize, options.json, partitionNodesOf(target));
  return 0;
}

}  // namespace

void addPartitionsCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<PartitionsOptions>();
  CLI::App* command = app.add_subcommand(
      "partitions", "Show the MBR table, back it up to sector 2, expose one backup partition or all of them again");
  command->add_option("TARGET", options->target, "Block device or disk file")->required();
  command->add_flag("--json", options->json, "Print the tables as JSON");
  command->add_flag("-y,--yes", options->yes, "Do not ask before writing a block device");
  command->add_flag("--force", options->force,
                    "Do not ask at all; write over a captured image; backup: overwrite sector 2 whatever it holds (a "
                    "backup with more partitions than the MBR exposes, other data)");
  addTargetOptions(*command, options->targetOptions, false);
  command->require_subcommand(1);
  const auto addAction = [&](Action chosen, const std::string& help) {
    CLI::App* sub = command->add_subcommand(nameOf(chosen), help);
    sub->callback([options, chosen, &action] {
      options->action = chosen;
      action = [options] { return runPartitions(*options); };
    });
    return sub;
  };
  addAction(Action::Show, "Show the MBR table and the backup partitions");
  addAction(Action::Backup, "Write the MBR's partitions to the backup sector (sector 2)");
  addAction(Action::Select, "Let the MBR expose one backup partition")
      ->add_option("N", options->argument, "Backup partition number, from 1 (as partitions show lists it)")
      ->required();
  addAction(Action::SelectType, "Let the MBR expose the backup partitions of one kind")
      ->add_option("NAME", options->argument, "legacy, primary, all, or a partition type number")
      ->required();
  addAction(Action::Restore, "Let the MBR expose every backup partition again");
}

}  // namespace vantor::cli

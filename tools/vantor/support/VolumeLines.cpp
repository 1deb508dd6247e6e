#include "VolumeLines.h"

#include <iomanip>
#include <utility>

#include <libVantor/PartitionTypes.h>

#include "Units.h"

namespace vantor::cli {
namespace {

std::string typeText(const DRIVE_VOLUME& v) {
  if (!v.gptType.empty()) return VolumeLines::gptTypeName(v.gptType);
  if (v.number == 0) return "whole drive";
  return Units::typeByte(v.mbrType) + " " + VolumeLines::mbrTypeName(v.mbrType);
}

}  // namespace

const char* VolumeLines::mbrTypeName(u8 type) {
  switch (type) {
    case partition_type::EMPTY:
      return "empty";
    case partition_type::FAT12:
      return "FAT12";
    case partition_type::FAT16_SMALL:
      return "FAT16 <32M";
    case partition_type::EXTENDED:
      return "extended";
    case partition_type::FAT16:
      return "FAT16 (legacy)";
    case partition_type::NTFS_EXFAT:
      return "NTFS/exFAT";
    case partition_type::FAT32:
      return "FAT32 CHS";
    case partition_type::FAT32_LBA:
      return "FAT32 LBA (primary)";
    case partition_type::FAT16_LBA:
      return "FAT16 LBA";
    case partition_type::EXTENDED_LBA:
      return "extended LBA";
    case partition_type::BOOT_LOADER_AREA:
      return "boot loader area";
    case partition_type::LINUX_SWAP:
      return "Linux swap";
    case partition_type::LINUX:
      return "Linux";
    case partition_type::GPT_PROTECTIVE:
      return "GPT protective";
    case partition_type::EFI_SYSTEM:
      return "EFI system";
    default:
      return "other";
  }
}

std::string VolumeLines::gptTypeName(const std::string& guid) {
  static const std::pair<const char*, const char*> names[] = {
      {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI System"},
      {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
      {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
      {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
      {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
      {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
      {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
      {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
      {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
      {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
  };
  for (const auto& [id, name] : names) {
    if (guid == id) return name;
  }
  return "other";
}

void VolumeLines::printSummary(std::ostream& out, const DRIVE_LAYOUT& layout, u32 sectorSize) {
  for (const DRIVE_VOLUME& v : layout.volumes) {
    out << "  " << (v.number == 0 ? std::string("whole drive") : "partition " + std::to_string(v.number)) << " (";
    if (!v.name.empty()) out << "'" << v.name << "', ";
    if (v.number != 0) out << "type " << (v.gptType.empty() ? Units::typeByte(v.mbrType) : gptTypeName(v.gptType)) << ", ";
    out << Units::bytes(v.sectorCount * sectorSize) << "): ";
    if (v.copiedWhole) {
      out << (v.fileSystem.empty() ? "" : v.fileSystem + ": ") << v.reason << ", copied whole\n";
    } else {
      out << v.fileSystem << ", " << Units::bytes(v.usedUnits * v.unitBytes) << " used of "
          << Units::bytes(v.unitCount * v.unitBytes) << ", used sectors taken\n";
    }
  }
}

void VolumeLines::printTable(std::ostream& out, const DRIVE_LAYOUT& layout, u32 sectorSize) {
  out << (layout.table == "gpt" ? "GPT partitions:" : layout.table == "mbr" ? "Volumes, logical ones included:"
                                                                            : "No partition table:")
      << "\n  " << std::left << std::setw(8) << "NUMBER" << std::setw(28) << "TYPE" << std::right << std::setw(12)
      << "START" << std::setw(12) << "SECTORS" << "  " << std::left << std::setw(12) << "SIZE" << "CONTENT\n";
  for (const DRIVE_VOLUME& v : layout.volumes) {
    out << "  " << std::left << std::setw(8) << v.number << std::setw(28) << typeText(v) << std::right << std::setw(12)
        << v.firstSector << std::setw(12) << v.sectorCount << "  " << std::left << std::setw(12)
        << Units::bytes(v.sectorCount * sectorSize) << (v.fileSystem.empty() ? "-" : v.fileSystem);
    if (!v.name.empty()) out << " '" << v.name << "'";
    if (!v.gptType.empty()) out << " " << v.gptType;
    out << "\n";
  }
  out << std::right;
}

Json VolumeLines::json(const DRIVE_LAYOUT& layout) {
  Json list = Json::array();
  for (const DRIVE_VOLUME& v : layout.volumes) {
    Json item;
    item["number"] = v.number;
    item["type"] = v.gptType.empty() ? Json(v.mbrType) : Json(v.gptType);
    item["typeName"] = typeText(v);
    item["name"] = JsonWriter::stringOrNull(v.name);
    item["startLBA"] = v.firstSector;
    item["sectorCount"] = v.sectorCount;
    item["fileSystem"] = JsonWriter::stringOrNull(v.fileSystem);
    item["copiedWhole"] = v.copiedWhole;
    item["reason"] = JsonWriter::stringOrNull(v.reason);
    item["unitBytes"] = v.unitBytes;
    item["unitCount"] = v.unitCount;
    item["usedUnits"] = v.usedUnits;
    list.push_back(std::move(item));
  }
  return Json{{"table", layout.table}, {"volumes", std::move(list)}, {"usedSectors", layout.usedSectors}};
}

}  // namespace vantor::cli

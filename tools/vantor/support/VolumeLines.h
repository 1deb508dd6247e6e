// tools/vantor/support/VolumeLines.h
// How the host shows a drive's volumes (the library's DriveVolumes records): one line a
// volume for summaries, a table for `partitions show`, and the JSON objects. No state.
#pragma once
#include <ostream>
#include <string>

#include <libVantor/DriveVolumes.h>

#include "JsonWriter.h"

namespace vantor::cli {

class VolumeLines {
 public:
  // "partition 3 (type 0x82, 2.00 GiB): no file system recognised, copied whole".
  static void printSummary(std::ostream& out, const DRIVE_LAYOUT& layout, u32 sectorSize);
  // NUMBER TYPE START SECTORS SIZE CONTENT, under a title naming the table.
  static void printTable(std::ostream& out, const DRIVE_LAYOUT& layout, u32 sectorSize);
  static Json json(const DRIVE_LAYOUT& layout);
  // A GPT type GUID's name ("EFI System"), "other" for one not known here.
  static std::string gptTypeName(const std::string& guid);
  // The name of an MBR type byte ("FAT32 LBA"), "other" for one not known here.
  static const char* mbrTypeName(u8 type);
};

}  // namespace vantor::cli

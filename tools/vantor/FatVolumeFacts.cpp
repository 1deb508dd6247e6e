#include "FatVolumeFacts.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>

#include "SectorReader.h"

namespace vantor::cli {
namespace {

// Boot sector offsets: bytes per logical sector, and the file system type texts of
// FAT12/16 and FAT32 boot sectors.
constexpr std::size_t BYTES_PER_SECTOR = 11;
constexpr std::size_t FS_TYPE_FAT16 = 54;
constexpr std::size_t FS_TYPE_FAT32 = 82;

bool isFatBootSector(const std::vector<unsigned char>& sector) {
  return sector.size() >= 512 && (std::memcmp(&sector[FS_TYPE_FAT16], "FAT", 3) == 0 ||
                                  std::memcmp(&sector[FS_TYPE_FAT32], "FAT32", 5) == 0);
}

}  // namespace

std::string FatVolumeFacts::sectorSizeMismatches(const IDisk& disk) {
  std::vector<PARTITION_TABLE_ENTRY> entries;
  try {
    entries = PartitionTools::getPartitions(disk);
  } catch (const VantorException&) {
    return std::string();
  }
  std::string found;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].partitionType == 0) continue;
    const std::vector<unsigned char> boot = SectorReader::read(disk, entries[i].startLBA);
    if (!isFatBootSector(boot)) continue;
    const unsigned bytes = readLE16(&boot[BYTES_PER_SECTOR]);
    if (bytes == 512) continue;
    char text[160];
    std::snprintf(text, sizeof text,
                  "partition %zu (slot %zu, type 0x%02x, from sector %u) is a FAT volume of %u-byte logical sectors",
                  i + 1, i, entries[i].partitionType, entries[i].startLBA, bytes);
    found += (found.empty() ? "" : "; ") + std::string(text);
  }
  if (!found.empty()) {
    found += "; only FAT volumes of 512-byte logical sectors are mapped (the drive's sectors are " +
             std::to_string(disk.getSectorSize()) + " bytes; capture --whole-drive copies every sector)";
  }
  return found;
}

}  // namespace vantor::cli

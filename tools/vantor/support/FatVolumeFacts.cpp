#include "FatVolumeFacts.h"

#include <libVantor/FatVolumeUsage.h>
#include <libVantor/VantorException.h>

#include <cstdio>

namespace vantor::cli {

std::string FatVolumeFacts::sectorSizeMismatches(IDisk& disk) {
  std::vector<FAT_VOLUME_USAGE> volumes;
  try {
    volumes = FatVolumeUsage::ofDisk(disk);
  } catch (const VantorException&) {
    return std::string();
  }
  std::string found;
  for (const FAT_VOLUME_USAGE& volume : volumes) {
    if (volume.logicalSectorSize == 512 && disk.getSectorSize() == 512) continue;
    char text[96];
    std::snprintf(text, sizeof text, "partition %u (type 0x%02x, from sector %u): ", volume.slot + 1,
                  volume.partitionType, volume.firstSector);
    found += (found.empty() ? "" : "; ") + (text + volume.unreadable);
  }
  if (!found.empty()) found += " (capture without --fat-only copies such a volume whole)";
  return found;
}

}  // namespace vantor::cli

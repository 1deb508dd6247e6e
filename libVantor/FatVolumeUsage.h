// libVantor/FatVolumeUsage.h
// How full the FAT16 and FAT32 volumes of a disk's MBR table are, read the way image
// capture reads them (the used-sector map's rules: the boot sector and the first FAT,
// bad clusters counted as used). Only reads; works on any disk, a captured image seen
// as an ImageDisk included. A volume the map cannot read (a damaged boot sector, a logical
// sector size or a drive sector size other than 512 bytes) is listed with the library's
// reason instead of its numbers.
// Failures to read the table itself throw VantorException. No state.
#pragma once
#include <string>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

struct FAT_VOLUME_USAGE {
  u32 slot = 0;  // MBR table entry, from 0
  u8 partitionType = 0;
  u32 firstSector = 0;        // the entry's start, a drive LBA
  u32 sectorCount = 0;        // the entry's length
  u32 logicalSectorSize = 0;  // bytes, as the boot sector gives it; 0 when none was read
  u32 sectorsPerCluster = 0;  // 0 when the volume could not be read
  u32 clusterCount = 0;       // clusters of the data area
  u32 usedClusters = 0;       // of those, the ones the first FAT marks used or bad
  std::string unreadable;     // why the volume could not be read; empty when it was

  u32 freeClusters() const { return clusterCount - usedClusters; }
};

class VANTOR_EXPORT FatVolumeUsage final {
 public:
  // One record for each entry of sector 0 whose type is one of the FAT16 and FAT32
  // types the used-sector map reads, in table order.
  static std::vector<FAT_VOLUME_USAGE> ofDisk(IDisk& disk);
};

}  // namespace vantor

#include <libVantor/FatVolumeUsage.h>

#include <algorithm>

#include <libVantor/PartitionTools.h>
#include <libVantor/PartitionTypes.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/FatVolumeMapper.h>

namespace vantor {

std::vector<FAT_VOLUME_USAGE> FatVolumeUsage::ofDisk(IDisk& disk) {
  std::vector<FAT_VOLUME_USAGE> volumes;
  const std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::getPartitions(disk);
  for (u32 slot = 0; slot < entries.size(); ++slot) {
    const PARTITION_TABLE_ENTRY& entry = entries[slot];
    if (!partition_type::isMappableFat(entry.partitionType)) continue;
    FAT_VOLUME_USAGE volume;
    volume.slot = slot;
    volume.partitionType = entry.partitionType;
    volume.firstSector = entry.startLBA;
    volume.sectorCount = entry.sectorCount;
    try {
      const FatVolumeMapper mapper(disk, entry.partitionType, entry.startLBA);
      const SectorMap map = mapper.getSectorMap();
      // Used clusters are the mapped sectors inside the data area; the map also holds
      // the system area, and any clusters the FAT marks past the volume's end.
      const u64 dataFirst = mapper.getFirstDataSector();
      const u64 dataEnd = dataFirst + u64(mapper.getClusterCount()) * mapper.getSectorsPerCluster();
      u64 usedSectors = 0;
      for (u32 i = 0; i < map.size(); ++i) {
        const u64 first = std::max<u64>(map[i].firstSector, dataFirst);
        const u64 end = std::min<u64>(map[i].lastSector + 1, dataEnd);
        if (first < end) usedSectors += end - first;
      }
      volume.sectorsPerCluster = mapper.getSectorsPerCluster();
      volume.clusterCount = mapper.getClusterCount();
      volume.usedClusters = static_cast<u32>(usedSectors / volume.sectorsPerCluster);
    } catch (const VantorException& error) {
      volume.unreadable = error.getMessage().str();
    }
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

}  // namespace vantor

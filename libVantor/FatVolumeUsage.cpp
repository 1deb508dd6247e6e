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
      volume.logicalSectorSize = FatVolumeMapper::logicalSectorSizeAt(disk, entry.startLBA);
      const vrk::String refusal = FatVolumeMapper::sectorSizeRefusal(volume.logicalSectorSize, disk.getSectorSize());
      if (!refusal.empty()) throw VantorException(ERR_GENERAL, refusal);
      const FatVolumeMapper mapper(disk, entry.partitionType, entry.startLBA);
      volume.sectorsPerCluster = mapper.getSectorsPerCluster();
      volume.clusterCount = mapper.getClusterCount();
      volume.usedClusters = mapper.countUsedClusters(mapper.getSectorMap());
    } catch (const VantorException& error) {
      volume.unreadable = error.getMessage().str();
    }
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

}  // namespace vantor

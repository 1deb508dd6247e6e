#include <libVantor/internal/DriveMap.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/PartitionTypes.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/FatVolumeMapper.h>
#include <libVantor/internal/FullSectorCount.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.DiskImager");
  return l;
}

// No sector at or past this one is examined for data in the gap after the MBR.
constexpr u32 GAP_SCAN_LIMIT = 2048;

// Every byte equals the next and the first is zero: one memcmp instead of a byte loop.
bool isAllZero(const u8* bytes, u32 count) {
  return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

}  // namespace

void findUsedSectorsAfterMbr(IDisk& disk, const PARTITION_TABLE_ENTRY entries[4], SectorMap& map) {
  VRK_TRACE(logger(), "findUsedSectorsAfterMbr");

  u32 firstPartition = 0;  // 0: no entry has a start sector
  for (int i = 0; i < 4; ++i) {
    const u32 start = entries[i].startLBA;
    if (start != 0 && (firstPartition == 0 || start < firstPartition)) firstPartition = start;
  }
  if (firstPartition == 0) {
    addSectorRange(map, makeSectorRange(1, GAP_SCAN_LIMIT));
    return;
  }

  findUsedSectorsInGap(disk, 1, firstPartition, map);
}

void findUsedSectorsInGap(IDisk& disk, u64 from, u64 to, SectorMap& map) {
  const u32 sectorSize = disk.getSectorSize();
  DiskBufferPointer buffer(sectorSize);
  for (u64 s = from; s < GAP_SCAN_LIMIT && s < to; ++s) {
    if (!disk.readSectors(static_cast<u32>(s), buffer.get(), 1)) break;
    if (!isAllZero(buffer.get(), sectorSize)) addSectorRange(map, makeSectorRange(static_cast<u32>(s), 1));
  }
}

void checkVolumeExtent(const IDisk& disk, u64 start, u64 lastSector, bool allowVolumeBeyondDrive) {
  const u64 driveSectors = fullSectorCount(disk);
  if (lastSector < driveSectors || allowVolumeBeyondDrive) return;
  throw VantorException(ERR_VOLUME_EXCEEDS_DRIVE,
                        vrk::SprintfFormat("Last volume sector exceeds drive extents.\n"
                                           "   Volume Sectors: [%08Xh, %08I64Xh]\n"
                                           "   Drive Sectors:  [%08Xh, %08Xh]\n",
                                           static_cast<unsigned>(start), static_cast<unsigned long long>(lastSector), 0u,
                                           static_cast<unsigned>(std::min<u64>(driveSectors - 1, 0xFFFFFFFFu))));
}

void getDriveMap(IDisk& disk, SectorMap& map, u64& highestVolumeSector, bool allowVolumeBeyondDrive) {
  VRK_TRACE(logger(), "getDriveMap");

  // The table lies in bytes 446-509 of sector 0: a smaller sector cannot hold it.
  if (disk.getSectorSize() < 512) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE, vrk::SprintfFormat("%u sector size required", 512u));
  }
  DiskBufferPointer buffer(disk.getSectorSize());
  if (!disk.readSectors(0, buffer.get(), 1)) throw VantorException(ERR_DISK_ACCESS, "Failed to read MBR");
  const std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::entriesIn(buffer.get());

  SectorMap driveMap;  // the caller's map is replaced only once everything has succeeded
  addSectorRange(driveMap, makeSectorRange(0, 1));
  findUsedSectorsAfterMbr(disk, entries.data(), driveMap);

  highestVolumeSector = 0;
  for (const PARTITION_TABLE_ENTRY& entry : entries) {
    if (entry.partitionType == 0) continue;
    const u32 start = entry.startLBA;
    const u64 lastSector = u64(start) - 1 + entry.sectorCount;
    checkVolumeExtent(disk, start, lastSector, allowVolumeBeyondDrive);
    highestVolumeSector = std::max(highestVolumeSector, lastSector);
    if (!partition_type::isMappableFat(entry.partitionType)) {
      throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM,
                            vrk::SprintfFormat("Unsupported partition ID found in MBR : %02Xh",
                                               static_cast<unsigned>(entry.partitionType)));
    }
    const SectorMap volumeMap = FatVolumeMapper(disk, entry.partitionType, start).getSectorMap();
    for (const SectorRange& range : volumeMap) addSectorRange(driveMap, range);
  }

  map = std::move(driveMap);
}

}  // namespace vantor

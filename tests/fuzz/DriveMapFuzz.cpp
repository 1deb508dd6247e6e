// Arbitrary bytes as the start of a drive: the used-sector map (MBR, gap scan, FAT
// boot sectors and tables) and the partition-table readers must refuse or map them,
// never crash, overflow or allocate without bound.
#include <libVantor/MBRPartitions.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DriveMap.h>

#include "MemoryDisk.h"

using namespace vantor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto disk = std::make_shared<fuzz::MemoryDisk>(512, 8192);
  std::memcpy(disk->bytes().data(), data, std::min(size, disk->bytes().size()));
  SectorMap map;
  u64 highest = 0;
  try {
    getDriveMap(*disk, map, highest, size % 2 == 0);
  } catch (const VantorException&) {
  }
  try {
    MBRPartitions partitions(disk);
    (void)partitions.backupPartitionsAndMBRMatch();
  } catch (const VantorException&) {
  }
  return 0;
}

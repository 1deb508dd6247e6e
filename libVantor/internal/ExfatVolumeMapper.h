// libVantor/internal/ExfatVolumeMapper.h
// The sectors one exFAT volume uses, as drive LBAs: the main and backup boot regions,
// every FAT copy, and every cluster the active allocation bitmap marks as used, plus
// the clusters of the bitmaps, the up-case table and the root directory themselves.
// Volume sectors (512 to 4096 bytes) become disk sectors by byte extent, the start
// rounded down and the end up. Reads the boot sector when made; each getSectorMap()
// walks the root directory and reads the bitmap. Failures throw VantorException: a
// volume that is inconsistent ERR_UNSUPPORTED_FILE_SYSTEM, a failed read ERR_DISK_ACCESS,
// each with a message naming the volume and what is wrong. The disk is not owned and
// must outlive the mapper. No locking: one thread at a time.
//
// Choices made here:
// - The active FAT and bitmap are those VolumeFlags' ActiveFat names; with two FATs
//   (TexFAT) the bitmap entry whose flag names the active FAT is used, and the clusters
//   of every bitmap entry are mapped. Cluster chains are followed in the active FAT.
// - Bits of the bitmap past ClusterCount are ignored. A ClusterCount smaller than the
//   heap could hold is accepted (the sectors past it are not mapped); a larger one, or
//   one the FAT cannot index, is refused. PartitionOffset is not consulted.
// - A missing up-case table is not refused: the map does not depend on it. Chains that
//   come back to a cluster, and clusters shared by two of the bitmaps, the up-case table
//   and the root directory, are refused: a copy made from them would miss data.
// - The bitmap is read in pieces of at most 1 MiB, the FAT through a 64 KiB window.
#pragma once
#include <cstddef>

#include <libVantor/IDisk.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

class ExfatVolumeMapper {
 public:
  // True when `head`, the first `size` bytes of a volume, hold an exFAT boot sector
  // ("EXFAT   " at offset 3, the AA55h signature, a zero must-be-zero field), whatever
  // the partition type says. False when `size` is under 512.
  static bool recognises(const u8* head, std::size_t size);

  // Reads and checks the boot sector at `volumeStartSector` (a drive LBA) of a volume
  // that spans `volumeSectorCount` drive sectors; the file system must fit in it.
  ExfatVolumeMapper(IDisk& disk, u32 volumeStartSector, u64 volumeSectorCount);

  // A new map of the used sectors; `usedClusters`, when given, receives the number of
  // clusters the active bitmap marks as used (among the first ClusterCount).
  SectorMap getSectorMap(u64* usedClusters = nullptr) const;

  u32 getClusterBytes() const { return u32(1) << (sectorShift + clusterShift); }
  u64 getClusterCount() const { return clusterCount; }

 private:
  class Walk;  // the reads of one getSectorMap()

  IDisk* disk;
  u32 volumeStartSector = 0;   // drive LBA
  u32 diskSectorSize = 512;
  u64 volumeByteStart = 0;     // volumeStartSector * diskSectorSize
  u32 sectorShift = 9;         // BytesPerSectorShift
  u32 clusterShift = 0;        // SectorsPerClusterShift
  u64 volumeLength = 0;        // volume sectors
  u32 fatOffset = 0;           // volume sectors
  u32 fatLength = 0;           // volume sectors per FAT
  u32 numberOfFats = 1;
  u32 activeFat = 0;
  u32 clusterHeapOffset = 0;   // volume sectors
  u32 clusterCount = 0;
  u32 rootCluster = 0;
};

}  // namespace vantor

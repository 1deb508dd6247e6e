// libVantor/internal/FatVolumeMapper.h
// The sectors one FAT16 or FAT32 volume uses, as drive LBAs: its system area (boot
// sector, reserved sectors, every FAT copy and, on FAT16, the root directory) and every
// cluster the first FAT marks as used, bad clusters included. The partition type alone
// decides FAT16 or FAT32 rules; the boot sector's type text must agree. Reads the boot
// sector when made and the whole first FAT, in one request, on each getSectorMap().
// Failures throw VantorException; a mapper whose getSectorMap() threw is unchanged.
// The disk is not owned and must outlive the mapper. No locking: one thread at a time.
//
// Choices made here:
// - Boot sectors with absurd numbers are refused with ERR_UNSUPPORTED_FILE_SYSTEM
//   ("Unsupported FAT File System") rather than mapped: sectors per cluster 0 or not a
//   power of two, no FAT, a FAT of 0 sectors, a FAT or system area larger than the
//   volume's total sector count (BPB offset 19, or 32 when that is 0), or a layout whose
//   sector numbers or FAT byte size leave the 32-bit range. getSectorMap() refuses the
//   same way a used cluster whose sectors would lie past sector FFFFFFFFh.
// - No memory for the boot-sector buffer reads as a failed read of the boot sector.
// - Both buffers are sized by the disk's sector size where that exceeds 512 bytes, so a
//   read can never overrun them.
#pragma once
#include <cstddef>

#include <libVantor/IDisk.h>
#include <libVantor/PartitionTypes.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

class FatVolumeMapper {
 public:
  enum class Kind { None, Fat12, Fat16, Fat32 };
  // What `head`, the first `size` bytes of a volume, holds by its content: a FAT boot
  // sector (a jump, the 55AAh signature, a sane parameter block and the type text of
  // its kind), whatever the partition type says. Reads nothing past `size`.
  static Kind recognise(const u8* head, std::size_t size);
  // The partition type whose rules map a volume of `kind` (FAT16 or FAT32).
  static u8 partitionTypeFor(Kind kind) {
    return kind == Kind::Fat32 ? partition_type::FAT32_LBA : partition_type::FAT16_LBA;
  }
  // The logical sector size a FAT boot sector gives (0 when `size` is too short).
  static u32 logicalSectorSize(const u8* head, std::size_t size);
  // Why a FAT volume of `logical`-byte logical sectors on a drive of `driveSectorSize`-byte
  // sectors is not mapped ("" when both are 512 bytes, the only sizes it maps).
  static vrk::String sectorSizeRefusal(u32 logical, u32 driveSectorSize);
  // The logical sector size of the FAT boot sector at `volumeStartSector` of `disk`
  // (0 when it reads none); throws VantorException(ERR_DISK_ACCESS) when the read fails.
  static u32 logicalSectorSizeAt(IDisk& disk, u32 volumeStartSector);

  // Reads and checks the boot sector at `volumeStartSector`.
  FatVolumeMapper(IDisk& disk, u8 partitionType, u32 volumeStartSector);

  // A new map of the volume's used sectors. Entries of the FAT past the volume's last
  // cluster are walked too: any that are not free give runs past the end of the volume.
  SectorMap getSectorMap() const;

  // The layout the boot sector gives: cluster size, the first sector of cluster 2 (a
  // drive LBA), and how many whole clusters fit between it and the volume's end.
  u32 getSectorsPerCluster() const { return sectorsPerCluster; }
  u32 getFirstDataSector() const { return firstDataSector; }
  u32 getClusterCount() const { return clusterCount; }
  // Of the data area's clusters, those `map` (this volume's map) holds: the used ones.
  u32 countUsedClusters(const SectorMap& map) const;

 private:
  bool isFat32() const { return partition_type::isFat32(partitionType); }

  IDisk* disk;
  u32 sectorSize = 512;  // size of the boot-sector buffer and unit of the FAT buffer
  u32 volumeStartSector = 0;
  u8 partitionType = 0;
  u32 fatStartSector = 0;
  u32 fatEntryCount = 0;  // entries one FAT copy holds
  u32 rootDirStartSector = 0;  // FAT16 only; 0 on FAT32
  u32 rootDirEntryCount = 0;   // FAT16 only; 0 on FAT32
  u32 firstDataSector = 0;     // first sector of cluster 2
  u16 bytesPerSector = 0;
  u32 sectorsPerCluster = 0;
  u8 numberOfFats = 0;
  u32 sectorsPerFat = 0;
  u32 clusterCount = 0;
};

}  // namespace vantor

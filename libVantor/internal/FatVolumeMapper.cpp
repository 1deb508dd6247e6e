#include <libVantor/internal/FatVolumeMapper.h>

#include <algorithm>
#include <cstring>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/VantorException.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/PartitionTypes.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.FatVolumeMapper");
  return l;
}

// Boot sector (BIOS parameter block) offsets.
constexpr u32 BPB_BYTES_PER_SECTOR = 11;
constexpr u32 BPB_SECTORS_PER_CLUSTER = 13;
constexpr u32 BPB_RESERVED_SECTORS = 14;
constexpr u32 BPB_NUMBER_OF_FATS = 16;
constexpr u32 BPB_ROOT_ENTRY_COUNT = 17;
constexpr u32 BPB_TOTAL_SECTORS_16 = 19;
constexpr u32 BPB_SECTORS_PER_FAT_16 = 22;
constexpr u32 BPB_TOTAL_SECTORS_32 = 32;
constexpr u32 BPB_SECTORS_PER_FAT_32 = 36;
constexpr u32 BPB_FS_TYPE_FAT16 = 54;
constexpr u32 BPB_FS_TYPE_FAT32 = 82;

constexpr u64 MAX_SECTOR = 0xFFFFFFFFull;

VantorException unsupported() { return VantorException(ERR_UNSUPPORTED_FILE_SYSTEM, "Unsupported FAT File System"); }

bool isPowerOfTwo(u32 v) { return v != 0 && (v & (v - 1)) == 0; }

// FAT16 entries: 0x0002-0xFFEF chain links, 0xFFF7 bad, 0xFFF8-0xFFFF end of chain.
bool isUsedFat16(u16 entry) { return (entry >= 0x0002 && entry <= 0xFFEF) || entry >= 0xFFF7; }

// FAT32 entries carry 28 bits; the top four are reserved and ignored.
bool isUsedFat32(u32 raw) {
  const u32 entry = raw & 0x0FFFFFFF;
  return (entry >= 0x00000002 && entry <= 0x0FFFFFEF) || entry >= 0x0FFFFFF7;
}

}  // namespace

FatVolumeMapper::Kind FatVolumeMapper::recognise(const u8* head, std::size_t size) {
  if (size < 512 || head[510] != 0x55 || head[511] != 0xAA) return Kind::None;
  if (head[0] != 0xEB && head[0] != 0xE9) return Kind::None;
  const u32 bytesPerSector = logicalSectorSize(head, size);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector)) return Kind::None;
  if (!isPowerOfTwo(head[BPB_SECTORS_PER_CLUSTER]) || readLE16(head + BPB_RESERVED_SECTORS) == 0) return Kind::None;
  if (head[BPB_NUMBER_OF_FATS] == 0) return Kind::None;
  if (std::memcmp(head + BPB_FS_TYPE_FAT32, "FAT32   ", 8) == 0) return Kind::Fat32;
  if (std::memcmp(head + BPB_FS_TYPE_FAT16, "FAT16   ", 8) == 0) return Kind::Fat16;
  if (std::memcmp(head + BPB_FS_TYPE_FAT16, "FAT12   ", 8) == 0) return Kind::Fat12;
  return Kind::None;
}

u32 FatVolumeMapper::logicalSectorSize(const u8* head, std::size_t size) {
  return size < 512 ? 0 : readLE16(head + BPB_BYTES_PER_SECTOR);
}

vrk::String FatVolumeMapper::sectorSizeRefusal(u32 logical, u32 driveSectorSize) {
  if (logical == 512 && driveSectorSize == 512) return vrk::String();
  return vrk::SprintfFormat("FAT volumes are mapped only with 512-byte logical sectors on a drive of 512-byte "
                            "sectors; this one has %u-byte sectors on a drive of %u",
                            logical, driveSectorSize);
}

u32 FatVolumeMapper::logicalSectorSizeAt(IDisk& disk, u32 volumeStartSector) {
  DiskBufferPointer boot(std::max<u32>(disk.getSectorSize(), 512));
  if (!disk.readSectors(volumeStartSector, boot.get(), 1)) {
    throw VantorException(ERR_DISK_ACCESS,
                          vrk::SprintfFormat("Error reading the volume that starts at sector %08Xh", volumeStartSector));
  }
  return logicalSectorSize(boot.get(), disk.getSectorSize());
}

u32 FatVolumeMapper::countUsedClusters(const SectorMap& map) const {
  // The map also holds the system area, and any clusters the FAT marks past the end.
  const u64 dataFirst = firstDataSector;
  const u64 dataEnd = dataFirst + u64(clusterCount) * sectorsPerCluster;
  u64 usedSectors = 0;
  for (u32 i = 0; i < map.size(); ++i) {
    const u64 first = std::max<u64>(map[i].firstSector, dataFirst);
    const u64 end = std::min<u64>(map[i].lastSector + 1, dataEnd);
    if (first < end) usedSectors += end - first;
  }
  return static_cast<u32>(usedSectors / sectorsPerCluster);
}

FatVolumeMapper::FatVolumeMapper(IDisk& disk_, u8 partitionType_, u32 volumeStartSector_)
    : disk(&disk_), sectorSize(512), volumeStartSector(volumeStartSector_), partitionType(partitionType_) {
  VRK_TRACE(logger(), "FatVolumeMapper constructor");

  // The buffer holds one sector of the disk even when the disk's sectors are larger than
  // the 512 bytes a supported boot sector describes; a failed allocation reads as a
  // failed read of the boot sector.
  DiskBufferPointer buffer(std::max(sectorSize, disk->getSectorSize()), DiskBufferPointer::OnFailure::Empty);
  if (!buffer || !disk->readSectors(volumeStartSector, buffer.get(), 1)) {
    throw VantorException(ERR_DISK_ACCESS, "Error reading volume boot record");
  }
  const u8* boot = buffer.get();

  switch (partitionType) {
    case partition_type::FAT16_SMALL:
    case partition_type::FAT16:
    case partition_type::FAT16_LBA:
      if (std::memcmp(boot + BPB_FS_TYPE_FAT16, "FAT16", 5) != 0) throw unsupported();
      break;
    case partition_type::FAT32:
    case partition_type::FAT32_LBA:
      if (std::memcmp(boot + BPB_FS_TYPE_FAT32, "FAT32", 5) != 0) throw unsupported();
      break;
    default:
      throw unsupported();
  }

  if (readLE16(boot + BPB_BYTES_PER_SECTOR) != 512) {
    throw VantorException(ERR_GENERAL, "Sector Size Mismatch");
  }

  const u32 reservedSectors = readLE16(boot + BPB_RESERVED_SECTORS);
  const u32 fats = boot[BPB_NUMBER_OF_FATS];
  const u32 spc = boot[BPB_SECTORS_PER_CLUSTER];
  const u32 rootEntries = isFat32() ? 0 : readLE16(boot + BPB_ROOT_ENTRY_COUNT);
  const u32 spf = isFat32() ? readLE32(boot + BPB_SECTORS_PER_FAT_32) : readLE16(boot + BPB_SECTORS_PER_FAT_16);
  u32 totalSectors = readLE16(boot + BPB_TOTAL_SECTORS_16);
  if (totalSectors == 0) totalSectors = readLE32(boot + BPB_TOTAL_SECTORS_32);

  // Refuse numbers that would make the arithmetic below meaningless, before using them.
  // All sizes are first worked out in 64 bits, so nothing can wrap unnoticed.
  if (!isPowerOfTwo(spc) || fats == 0 || spf == 0) throw unsupported();
  const u64 rootDirSectors = (u64(rootEntries) * 32 + 511) / 512;
  const u64 systemAreaSectors = u64(reservedSectors) + u64(fats) * spf + rootDirSectors;
  if (systemAreaSectors > totalSectors) throw unsupported();
  if (u64(volumeStartSector) + systemAreaSectors > MAX_SECTOR) throw unsupported();
  if (u64(512) * spf > MAX_SECTOR) throw unsupported();  // the FAT's byte size must fit 32 bits

  bytesPerSector = 512;
  sectorsPerCluster = spc;
  clusterCount = static_cast<u32>((totalSectors - systemAreaSectors) / spc);
  numberOfFats = static_cast<u8>(fats);
  sectorsPerFat = spf;
  fatStartSector = volumeStartSector + reservedSectors;
  if (isFat32()) {
    rootDirStartSector = 0;
    rootDirEntryCount = 0;
    firstDataSector = fatStartSector + numberOfFats * sectorsPerFat;
    fatEntryCount = bytesPerSector * sectorsPerFat / 4;
  } else {
    rootDirStartSector = fatStartSector + numberOfFats * sectorsPerFat;
    rootDirEntryCount = rootEntries;
    firstDataSector = rootDirStartSector + (rootDirEntryCount * 32 + bytesPerSector - 1) / bytesPerSector;
    fatEntryCount = bytesPerSector * sectorsPerFat / 2;
  }
}

SectorMap FatVolumeMapper::getSectorMap() const {
  VRK_TRACE(logger(), "getSectorMap");

  SectorMap map;
  addSectorRange(map, makeSectorRange(volumeStartSector, firstDataSector - volumeStartSector));

  // One buffer as large as the FAT, read in one request. It is sized by the disk's own
  // sector size where that is larger, so that the read can never overrun it.
  const u64 unit = std::max(sectorSize, disk->getSectorSize());
  DiskBufferPointer buffer(unit * sectorsPerFat, DiskBufferPointer::OnFailure::Empty);
  if (!buffer) throw VantorException(ERR_GENERAL, "Problem getting buffer for FAT table");
  if (!disk->readSectors(fatStartSector, buffer.get(), sectorsPerFat)) {
    throw VantorException(ERR_DISK_ACCESS, "Error reading FAT table");
  }

  const u8* fat = buffer.get();
  const bool fat32 = isFat32();
  for (u32 c = 2; c < fatEntryCount; ++c) {
    const bool used = fat32 ? isUsedFat32(readLE32(fat + u64(c) * 4)) : isUsedFat16(readLE16(fat + u64(c) * 2));
    if (!used) continue;
    const u64 first = firstDataSector + u64(c - 2) * sectorsPerCluster;
    if (first + sectorsPerCluster - 1 > MAX_SECTOR) throw unsupported();
    addSectorRange(map, makeSectorRange(static_cast<u32>(first), sectorsPerCluster));
  }
  return map;
}

}  // namespace vantor

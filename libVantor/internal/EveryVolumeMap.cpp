#include <libVantor/internal/EveryVolumeMap.h>

#include <algorithm>

#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/ExfatVolumeMapper.h>
#include <libVantor/internal/ExtVolumeMapper.h>
#include <libVantor/internal/FatVolumeMapper.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/GptLayout.h>
#include <libVantor/internal/MbrLayout.h>
#include <libVantor/internal/NtfsVolumeMapper.h>

namespace vantor {
namespace {

// Every recogniser looks at no more than the first 4 KiB of a volume.
constexpr u32 HEAD_BYTES = 4096;
constexpr u64 LAST_ADDRESSABLE = 0xFFFFFFFFull;

// The first bytes of the volume at `first` (at most `sectors` long), zero-filled past
// what was read. A failed read throws: a drive that cannot be read is not guessed at.
DiskBufferPointer readHead(IDisk& disk, u64 first, u64 sectors) {
  const u32 sectorSize = disk.getSectorSize();
  const u32 want = std::max<u32>(1, HEAD_BYTES / sectorSize);
  const u32 count = static_cast<u32>(std::min<u64>(want, sectors));
  DiskBufferPointer head(u64(want) * sectorSize);
  if (count > 0 && !disk.readSectors(static_cast<u32>(first), head.get(), count)) {
    throw VantorException(ERR_DISK_ACCESS,
                          vrk::SprintfFormat("Error reading the volume that starts at sector %08I64Xh", first));
  }
  return head;
}

std::size_t headSize(const IDisk& disk) { return std::max<std::size_t>(HEAD_BYTES, disk.getSectorSize()); }

// The file system at `head`, by content alone ("" when none is recognised).
std::string recognise(const u8* head, std::size_t size) {
  if (ExfatVolumeMapper::recognises(head, size)) return "exfat";
  if (NtfsVolumeMapper::recognises(head, size)) return "ntfs";
  switch (FatVolumeMapper::recognise(head, size)) {
    case FatVolumeMapper::Kind::Fat12: return "fat12";
    case FatVolumeMapper::Kind::Fat16: return "fat16";
    case FatVolumeMapper::Kind::Fat32: return "fat32";
    case FatVolumeMapper::Kind::None: break;
  }
  if (ExtVolumeMapper::recognises(head, size)) return "ext";
  return "";
}

// Maps the used sectors of `volume` into `map` by its file system, or, failing that,
// adds all of it (up to `end`, the drive's end where the volume reaches past it) and
// says why.
void mapVolume(IDisk& disk, DRIVE_VOLUME& volume, u64 end, SectorMap& map) {
  const u64 first = volume.firstSector;
  if (first >= end) return;  // wholly past the drive (allowed by the caller): nothing to take
  if (end - 1 > LAST_ADDRESSABLE) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          vrk::SprintfFormat("Volume %u lies past sector FFFFFFFFh, which sector numbers do not reach",
                                             volume.number));
  }
  const u64 sectors = end - first;
  const DiskBufferPointer head = readHead(disk, first, sectors);
  const std::size_t size = headSize(disk);
  volume.fileSystem = recognise(head.get(), size);
  const u32 start = static_cast<u32>(first);
  try {
    SectorMap used;
    if (volume.fileSystem == "exfat") {
      const ExfatVolumeMapper mapper(disk, start, sectors);
      used = mapper.getSectorMap(&volume.usedUnits);
      volume.unitBytes = mapper.getClusterBytes();
      volume.unitCount = mapper.getClusterCount();
    } else if (volume.fileSystem == "ntfs") {
      const NtfsVolumeMapper mapper(disk, start, sectors);
      used = mapper.getSectorMap(&volume.usedUnits);
      volume.unitBytes = mapper.getClusterBytes();
      volume.unitCount = mapper.getClusterCount();
    } else if (volume.fileSystem == "ext") {
      const ExtVolumeMapper mapper(disk, start, sectors);
      volume.fileSystem = mapper.getVariantName();
      used = mapper.getSectorMap(&volume.usedUnits);
      volume.unitBytes = mapper.getBlockBytes();
      volume.unitCount = mapper.getBlockCount();
    } else if (volume.fileSystem == "fat16" || volume.fileSystem == "fat32") {
      const vrk::String refusal =
          FatVolumeMapper::sectorSizeRefusal(FatVolumeMapper::logicalSectorSize(head.get(), size), disk.getSectorSize());
      if (!refusal.empty()) throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM, refusal);
      const FatVolumeMapper mapper(disk, FatVolumeMapper::partitionTypeFor(volume.fileSystem == "fat32"
                                                                                ? FatVolumeMapper::Kind::Fat32
                                                                                : FatVolumeMapper::Kind::Fat16),
                                   start);
      used = mapper.getSectorMap();
      volume.unitBytes = mapper.getSectorsPerCluster() * 512;
      volume.unitCount = mapper.getClusterCount();
      volume.usedUnits = mapper.countUsedClusters(used);
    } else if (volume.fileSystem == "fat12") {
      throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM, "FAT12 volumes are not mapped");
    } else {
      throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM, "no file system recognised");
    }
    for (const SectorRange& range : used) addSectorRange(map, range);
    return;
  } catch (const VantorException& error) {
    if (error.getErrorCode() == ERR_DISK_ACCESS) throw;  // the drive, not the volume, failed
    volume.reason = error.getMessage().str();
    volume.unitBytes = 0;
    volume.unitCount = 0;
    volume.usedUnits = 0;
  }
  volume.copiedWhole = true;
  addSectorRange(map, makeSectorRange(start, static_cast<u32>(sectors)));
}

// A volume of the table: checked against the drive, mapped, recorded.
void takeVolume(IDisk& disk, DRIVE_VOLUME volume, bool allowVolumeBeyondDrive, EveryVolumeMap& out) {
  const u64 last = volume.firstSector + volume.sectorCount - 1;
  checkVolumeExtent(disk, volume.firstSector, last, allowVolumeBeyondDrive);
  out.highestVolumeSector = std::max(out.highestVolumeSector, last);
  mapVolume(disk, volume, std::min(last + 1, fullSectorCount(disk)), out.map);
  out.layout.volumes.push_back(std::move(volume));
}

// `partitions` and `chain`: what readMbrLayout found in sector 0 and the extended chain.
void mapMbrDrive(IDisk& disk, const u8* sector0, const std::vector<MbrPartition>& partitions,
                 const std::vector<u64>& chain, bool allowVolumeBeyondDrive, EveryVolumeMap& out) {
  findUsedSectorsAfterMbr(disk, PartitionTools::entriesIn(sector0).data(), out.map);
  for (const u64 ebr : chain) addSectorRange(out.map, makeSectorRange(static_cast<u32>(ebr), 1));
  for (const MbrPartition& p : partitions) {
    if (partition_type::isExtended(p.type) && p.number <= 4) {
      // The container of the logical volumes: its records are mapped above.
      out.highestVolumeSector = std::max(out.highestVolumeSector, p.startSector + p.sectorCount - 1);
      checkVolumeExtent(disk, p.startSector, p.startSector + p.sectorCount - 1, allowVolumeBeyondDrive);
      continue;
    }
    DRIVE_VOLUME volume;
    volume.number = p.number;
    volume.mbrType = p.type;
    volume.firstSector = p.startSector;
    volume.sectorCount = p.sectorCount;
    takeVolume(disk, std::move(volume), allowVolumeBeyondDrive, out);
  }
}

void mapGptDrive(IDisk& disk, bool allowVolumeBeyondDrive, EveryVolumeMap& out) {
  const GptLayout gpt = readGptLayout(disk);
  for (const SectorRange& range : gptTableSectors(gpt)) addSectorRange(out.map, range);
  u64 firstVolume = gpt.firstUsable;
  if (!gpt.partitions.empty()) {
    firstVolume = gpt.partitions.front().firstSector;
    for (const GptPartition& p : gpt.partitions) firstVolume = std::min(firstVolume, p.firstSector);
  }
  findUsedSectorsInGap(disk, gpt.entriesSector + gpt.entriesSectors, firstVolume, out.map);
  for (const GptPartition& p : gpt.partitions) {
    DRIVE_VOLUME volume;
    volume.number = p.number;
    volume.gptType = guidText(p.typeGuid);
    volume.name = p.name;
    volume.firstSector = p.firstSector;
    volume.sectorCount = p.lastSector - p.firstSector + 1;
    takeVolume(disk, std::move(volume), allowVolumeBeyondDrive, out);
  }
}

}  // namespace

EveryVolumeMap mapEveryVolume(IDisk& disk, bool allowVolumeBeyondDrive) {
  if (disk.getSectorSize() < 512) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE, vrk::SprintfFormat("%u sector size required", 512u));
  }
  const u64 driveSectors = fullSectorCount(disk);
  const DiskBufferPointer head = readHead(disk, 0, driveSectors);
  const std::size_t size = headSize(disk);
  EveryVolumeMap out;
  addSectorRange(out.map, makeSectorRange(0, 1));

  std::vector<MbrPartition> partitions;
  std::vector<u64> chain;
  const MbrLayoutKind kind = readMbrLayout(disk, partitions, &chain);
  if (kind == MbrLayoutKind::Unreadable) throw VantorException(ERR_DISK_ACCESS, "Failed to read MBR");
  const std::string onDrive = recognise(head.get(), size);
  // A FAT, exFAT or NTFS boot sector at sector 0 carries the table's signature too:
  // what it holds there is a parameter block, not a table. An ext file system leaves
  // sector 0 to a table, so a table with volumes wins over it.
  const bool bootSectorAtZero = !onDrive.empty() && onDrive != "ext";
  if (!bootSectorAtZero && kind == MbrLayoutKind::Gpt) {
    out.layout.table = "gpt";
    mapGptDrive(disk, allowVolumeBeyondDrive, out);
  } else if (!bootSectorAtZero && kind == MbrLayoutKind::Mbr && (!partitions.empty() || onDrive.empty())) {
    out.layout.table = "mbr";
    mapMbrDrive(disk, head.get(), partitions, chain, allowVolumeBeyondDrive, out);
  } else {
    // No table: a file system on the whole drive, or nothing this library knows.
    out.layout.table = "none";
    refuseWholeDriveBeyondSectorNumbers(disk, "mapped");
    DRIVE_VOLUME volume;
    volume.firstSector = 0;
    volume.sectorCount = driveSectors;
    takeVolume(disk, std::move(volume), false, out);
    if (onDrive.empty()) out.layout.volumes.back().reason = "no partition table and no file system recognised";
  }
  for (const SectorRange& range : out.map) out.layout.usedSectors += range.numSectors;
  return out;
}

boost::optional<GptLayout> soundGptOf(const IDisk& disk) {
  std::vector<MbrPartition> partitions;
  const MbrLayoutKind kind = readMbrLayout(disk, partitions);
  if (kind == MbrLayoutKind::Unreadable) throw VantorException(ERR_DISK_ACCESS, "Failed to read MBR");
  if (kind != MbrLayoutKind::Gpt) return boost::none;
  try {
    GptLayout gpt = readGptLayout(disk);
    if (gpt.alternateSector <= gpt.entriesSectors) return boost::none;
    return gpt;
  } catch (const VantorException& error) {
    if (error.getErrorCode() == ERR_DISK_ACCESS) throw;
    return boost::none;
  }
}

DRIVE_LAYOUT DriveVolumes::ofDisk(IDisk& disk) { return mapEveryVolume(disk, true).layout; }

std::string DriveVolumes::tableOf(const IDisk& disk) {
  std::vector<MbrPartition> partitions;
  switch (readMbrLayout(disk, partitions)) {
    case MbrLayoutKind::Unreadable: throw VantorException(ERR_DISK_ACCESS, "Failed to read MBR");
    case MbrLayoutKind::Gpt: return "gpt";
    case MbrLayoutKind::Mbr: return "mbr";
    case MbrLayoutKind::NoTable: break;
  }
  return "none";
}

}  // namespace vantor

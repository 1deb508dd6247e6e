#include <libVantor/SignatureEraser.h>

#include <algorithm>
#include <cstring>

#include <libVantor/ImageDisk.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/ExfatVolumeMapper.h>
#include <libVantor/internal/ExtVolumeMapper.h>
#include <libVantor/internal/FatVolumeMapper.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/GptLayout.h>
#include <libVantor/internal/NtfsVolumeMapper.h>

namespace vantor {
namespace {

constexpr u32 HEAD_BYTES = 4096;
constexpr u32 BOOT_SECTOR_BYTES = 512;
constexpr u32 EXT_SUPERBLOCK_OFFSET = 1024;
constexpr u32 EXT_SUPERBLOCK_BYTES = 1024;

// The drive's bytes [offset, offset + length) zeroed, in the sectors that hold them.
void zeroBytes(IDisk& drive, u64 offset, u32 length) {
  const u32 sectorSize = drive.getSectorSize();
  const u64 first = offset / sectorSize;
  const u32 count = static_cast<u32>((offset + length + sectorSize - 1) / sectorSize - first);
  DiskBufferPointer buffer(u64(count) * sectorSize);
  if (!drive.readSectors(static_cast<u32>(first), buffer.get(), count)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector %08I64Xh", first));
  }
  std::memset(buffer.get() + (offset - first * sectorSize), 0, length);
  if (!drive.writeSectors(static_cast<u32>(first), buffer.get(), count)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error writing sector %08I64Xh", first));
  }
}

bool coversBytes(const std::function<bool(u64)>& written, u64 offset, u32 length, u32 sectorSize) {
  for (u64 s = offset / sectorSize; s * sectorSize < offset + length; ++s) {
    if (!written(s)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> SignatureEraser::eraseForeign(IDisk& drive, const std::function<bool(u64)>& written) {
  std::vector<std::string> erased;
  const u32 sectorSize = drive.getSectorSize();
  const u64 sectors = fullSectorCount(drive);
  if (sectorSize < 512 || sectors == 0) return erased;
  const u32 headSectors = static_cast<u32>(std::min<u64>(std::max<u32>(1, HEAD_BYTES / sectorSize), sectors));
  DiskBufferPointer head(std::max<u64>(HEAD_BYTES, sectorSize));
  if (!drive.readSectors(0, head.get(), headSectors)) throw VantorException(ERR_DISK_ACCESS, "Error reading sector 00000000h");
  const std::size_t size = head.size();

  const auto erase = [&](u64 offset, u32 length, const std::string& what) {
    if (offset + length > sectors * sectorSize || coversBytes(written, offset, length, sectorSize)) return;
    zeroBytes(drive, offset, length);
    erased.push_back(what + " at sector " + std::to_string(offset / sectorSize));
  };
  if (ExfatVolumeMapper::recognises(head.get(), size)) erase(0, BOOT_SECTOR_BYTES, "exFAT boot sector");
  if (NtfsVolumeMapper::recognises(head.get(), size)) erase(0, BOOT_SECTOR_BYTES, "NTFS boot sector");
  if (FatVolumeMapper::recognise(head.get(), size) != FatVolumeMapper::Kind::None) {
    erase(0, BOOT_SECTOR_BYTES, "FAT boot sector");
  }
  if (ExtVolumeMapper::recognises(head.get(), size)) {
    erase(EXT_SUPERBLOCK_OFFSET, EXT_SUPERBLOCK_BYTES, "ext superblock");
  }

  // A GPT header at sector 1 the data did not write is an old table's; one at the last
  // sector is foreign unless the table written names it as its own backup.
  DiskBufferPointer sector(sectorSize);
  u64 ownBackup = 0;
  for (const u64 lba : {u64(1), sectors - 1}) {
    if (lba == 0 || lba > 0xFFFFFFFFull) continue;
    if (!drive.readSectors(static_cast<u32>(lba), sector.get(), 1)) {
      throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector %08I64Xh", lba));
    }
    if (!isGptHeader(sector.get(), sectorSize)) continue;
    if (lba == 1 && written(1)) ownBackup = gptAlternateSector(sector.get());
    if (written(lba) || (lba != 1 && lba == ownBackup)) continue;
    erase(lba * sectorSize, sectorSize, lba == 1 ? "GPT header" : "GPT backup header");
  }
  return erased;
}

std::vector<std::string> SignatureEraser::eraseForeign(IDisk& drive, const vrk::String& imagePath) {
  const ImageDisk image(imagePath);
  const std::vector<ImageDisk::Run>& runs = image.getRuns();
  return eraseForeign(drive, [&runs](u64 sector) {
    return std::any_of(runs.begin(), runs.end(), [sector](const ImageDisk::Run& r) {
      return sector >= r.firstSector && sector < u64(r.firstSector) + r.sectorCount;
    });
  });
}

std::vector<std::string> SignatureEraser::eraseForeign(IDisk& drive, IDisk& source, bool everySector) {
  const u64 sourceSectors = fullSectorCount(source);
  if (everySector) return eraseForeign(drive, [sourceSectors](u64 sector) { return sector < sourceSectors; });
  const SectorMap used = mapEveryVolume(source, true).map;
  return eraseForeign(drive, [&used](u64 sector) {
    return std::any_of(used.begin(), used.end(),
                       [sector](const SectorRange& r) { return sector >= r.firstSector && sector <= r.lastSector; });
  });
}

}  // namespace vantor

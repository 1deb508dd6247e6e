// libVantor/internal/FullSectorCount.h
// A disk's sector count in 64 bits. IDisk::getSizeSectors numbers sectors with 32 bits
// and so cuts a drive of 2^32 sectors or more (2 TiB of 512-byte sectors) to the low 32
// bits; every comparison of a capacity is made with this count instead.
#pragma once
#include <libVantor/IDisk.h>
#include <libVantor/VantorException.h>

namespace vantor {

inline u64 fullSectorCount(const IDisk& disk) {
  const u32 sectorSize = disk.getSectorSize();
  return sectorSize == 0 ? 0 : disk.getSizeBytes() / sectorSize;
}

// The highest sector count that 32-bit sector numbers reach: sectors 0 to FFFFFFFFh.
constexpr u64 ADDRESSABLE_SECTORS = 0x100000000ull;

// A whole-drive operation covers every sector or refuses before any transfer: a drive
// with more sectors than 32-bit numbers reach throws ERR_INVALID_ARGUMENT naming its
// size. `what` completes "The whole drive cannot be ...".
inline void refuseWholeDriveBeyondSectorNumbers(const IDisk& disk, const char* what) {
  const u64 sectors = fullSectorCount(disk);
  if (sectors < ADDRESSABLE_SECTORS) return;
  throw VantorException(ERR_INVALID_ARGUMENT,
                        vrk::SprintfFormat("The whole drive cannot be %s: it holds %I64u sectors of %u bytes, and "
                                           "sector numbers end at FFFFFFFFh (%I64u sectors).",
                                           what, sectors, disk.getSectorSize(), ADDRESSABLE_SECTORS));
}

}  // namespace vantor

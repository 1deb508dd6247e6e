// tests/support/VolumeKit.h
// Volumes of the file systems a capture maps, made and judged by their own tools: a
// volume file formatted by its mkfs (with options of the test's choosing) and filled
// through the system's own driver (a loop mount, exfat-fuse or ntfs-3g; mtools for FAT)
// with files of mixed sizes, a directory of many small ones, two files grown in turns so
// that they fragment, and deleted files; then, of any region of a disk file, the checker's
// verdict and a digest of every file in it. For the mapper tests, the judgement of a map:
// only its sectors copied over random bytes must still be the same volume. And, for
// damage tests, a volume's bytes laid onto a FakeDisk. Mounts are undone when each step
// ends, also when it fails. Needs root (loop devices, FUSE): where it is not, unavailable()
// answers the reason, for GTEST_SKIP. A failing tool throws
// std::runtime_error with the command and its output.
#pragma once
#include <string>

#include <libVantor/Types.h>
#include <libVantor/internal/SectorMap.h>

#include "support/FakeDisk.h"

namespace vantor::test {

enum class VolumeKind { Fat16, Fat32, Exfat, Ntfs, Ext2, Ext3, Ext4, Swap };

class VolumeKit {
 public:
  // Works in `directory` (a TempDir's), which holds the scratch files and mount points.
  explicit VolumeKit(std::string directory) : dir_(std::move(directory)) {}

  // Why volumes cannot be made here; "" when they can.
  static std::string unavailable();
  // A volume of `kind` in a new file `path` of `sectors` 512-byte sectors, filled.
  // `hiddenSectors` is where it will lie on its disk, for the boot sectors that record it;
  // `mkfsOptions` go to its mkfs; `sectorSize` is the device's that mkfs.exfat takes.
  void make(const std::string& path, VolumeKind kind, u64 sectors, u64 hiddenSectors = 0,
            const std::string& mkfsOptions = "", u32 sectorSize = 512) const;
  // Copies the file `volume` into `disk` (made when missing) from sector `firstSector` on.
  static void place(const std::string& volume, const std::string& disk, u64 firstSector);

  // The checker's verdict on sectors [firstSector, firstSector + sectors) of `disk`:
  // "" when clean, else what it printed.
  std::string problems(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const;
  // "sha256  ./path" for every file in that region's file system, sorted; for swap, the
  // digest of the region's bytes.
  std::string digests(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const;

  // Whether `map` (sectors of `sectorSize` bytes), a mapper's answer for that region of
  // `disk`, carries the volume: only its runs, copied into a file of random bytes, must
  // lie inside the region and make a volume its checker finds clean and whose files all
  // read back as in `disk`. "" when they do, else what is wrong.
  std::string mappedCopyProblems(const std::string& disk, u32 sectorSize, const SectorMap& map, u64 firstSector,
                                 u64 sectors, VolumeKind kind) const;

 private:
  std::string extract(const std::string& disk, u64 firstSector, u64 sectors) const;
  std::string dir_;
};

const char* nameOf(VolumeKind kind);

// "first count" for each run of `map`, a line each, to compare with an oracle's.
std::string describe(const SectorMap& map);
// Adds bytes [offset, offset + n) of the volume at sector `first` (of `sectorSize` bytes) to `map`.
void addBytes(SectorMap& map, u64 first, u32 sectorSize, u64 offset, u64 n);
// A FakeDisk of `sectors` 512-byte sectors holding `volume` (a volume file's bytes) from
// sector `first` on; its zero sectors take no memory.
FakeDisk fakeDiskWith(const std::string& volume, u64 first, u32 sectors);

}  // namespace vantor::test

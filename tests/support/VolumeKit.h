// tests/support/VolumeKit.h
// Volumes of the file systems a capture maps, made and judged by their own tools: a
// volume file formatted by its mkfs and filled through the system's own driver (a loop
// mount, exfat-fuse or ntfs-3g; mtools for FAT) with files of mixed sizes, two files
// grown in turns so that they fragment, and deleted files; then, of any region of a disk
// file, the checker's verdict and a digest of every file in it. Mounts are undone when
// each step ends, also when it fails. Needs root (loop devices, FUSE): where it is not,
// make() answers false with the reason, for GTEST_SKIP. A failing tool throws
// std::runtime_error with the command and its output.
#pragma once
#include <string>

#include <libVantor/Types.h>

namespace vantor::test {

enum class VolumeKind { Fat16, Fat32, Exfat, Ntfs, Ext2, Ext3, Ext4, Swap };

class VolumeKit {
 public:
  // Works in `directory` (a TempDir's), which holds the scratch files and mount points.
  explicit VolumeKit(std::string directory) : dir_(std::move(directory)) {}

  // Whether volumes can be made here; `whyNot` says why not.
  static bool available(std::string& whyNot);
  // A volume of `kind` in a new file `path` of `sectors` 512-byte sectors, filled.
  // `hiddenSectors` is where it will lie on its disk, for the boot sectors that record it.
  void make(const std::string& path, VolumeKind kind, u64 sectors, u64 hiddenSectors = 0) const;
  // Copies the file `volume` into `disk` from sector `firstSector` on.
  static void place(const std::string& volume, const std::string& disk, u64 firstSector);

  // The checker's verdict on sectors [firstSector, firstSector + sectors) of `disk`:
  // "" when clean, else what it printed.
  std::string problems(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const;
  // "sha256  ./path" for every file in that region's file system, sorted; for swap, the
  // digest of the region's bytes.
  std::string digests(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const;

 private:
  std::string extract(const std::string& disk, u64 firstSector, u64 sectors) const;
  std::string dir_;
};

const char* nameOf(VolumeKind kind);

}  // namespace vantor::test

// tests/support/FatImage.h
// A disk image file built with the system's own tools, for tests that need a real
// MBR-partitioned drive with FAT volumes and an independent opinion about it: sfdisk
// writes and reads the table, mkfs.fat formats, mtools fills the volumes. Sectors are 512
// bytes; a volume is addressed by its first sector in the file. A failing step throws
// std::runtime_error with the command and its output. Each use of the tools is a
// ToolSteps step, so that where they do not run (Windows) the same calls replay what they
// did on Linux; tests that use the tools start with VANTOR_REQUIRE_TOOLS(). Step names
// hold no paths, so nor do mkfs.fat options. The file stays when the object goes (it
// lives in a TempDir). mtools reads a volume as FAT32 only from 65525 clusters on (e.g.
// 140000 sectors with "-s 1").
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <libVantor/Types.h>

#include "support/Shell.h"

namespace vantor::test {

// One MBR partition table entry.
struct PartitionPlan {
  u32 start = 0;  // first sector
  u32 size = 0;   // sectors
  u8 type = 0;    // partition type byte: 0x06, 0x0E (FAT16), 0x0C (FAT32), ...
  bool bootable = false;
};

// The partition table of a disk file as sfdisk reads it, one line per entry in table
// order: "slot start size type" (slot from 0, type in hex), " boot" added when bootable.
std::string sfdiskTable(const std::string& image);

class FatImage {
 public:
  static constexpr u32 SECTOR_SIZE = 512;

  // Creates `path` (or cuts an existing file down to nothing first) as a sparse file of
  // `sectors` zero sectors.
  FatImage(std::string path, u32 sectors);

  // Writes a DOS partition table holding `entries` in table order (sfdisk).
  void partition(const std::vector<PartitionPlan>& entries);
  // Formats sectors [start, start + count) with "mkfs.fat -F <fatBits> <options>"; the
  // boot sector records the volume's position as its hidden sectors.
  void format(u32 start, u32 count, int fatBits, const std::string& options = "");

  // mtools copies a file of `bytes` pseudo-random bytes per seed to the volume starting at
  // `volume`; DOS paths look like "::/a.txt".
  void addFile(u32 volume, const std::string& dosPath, std::size_t bytes, u32 seed = 1);

 private:

  std::string path_;
};

}  // namespace vantor::test

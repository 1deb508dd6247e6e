// tools/vantor/ImageFile.h
// The host's own reading of a disk image file: the header fields that the library's
// DISK_IMAGE_INFO leaves out (run count, sectors stored, the first run's offset) and a
// walk over the run headers that tells whether the file holds every run it announces
// and nothing after them. Reads only; the file is closed when read() returns.
// read() throws VantorException: ERR_FILE_ACCESS (cannot open, shorter than a header),
// ERR_INVALID_IMAGE_FILE (no signature), ERR_INCOMPATIBLE_IMAGE (version not 2).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::cli {

class ImageFile {
 public:
  static constexpr std::uint32_t HEADER_BYTES = 90;
  static constexpr std::uint32_t RUN_HEADER_BYTES = 8;

  static ImageFile read(const std::string& path);
  // True when the `size` bytes at `header` begin with an image header: the signature
  // sits at its place in them.
  static bool hasSignature(const unsigned char* header, std::size_t size);

  std::uint32_t runCount = 0;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint64_t totalSectors = 0;
  std::uint32_t sectorSize = 0;
  std::uint64_t firstUsedSector = 0;
  std::uint64_t highestVolumeSector = 0;
  std::uint32_t firstRunOffset = 0;
  std::uint64_t fileSize = 0;
  // Runs whose header and data lie wholly inside the file.
  std::uint32_t runsPresent = 0;
  // Every run present and the file ends right after the last one.
  bool complete = false;

  std::uint64_t usedBytes() const { return totalSectors * sectorSize; }
};

}  // namespace vantor::cli

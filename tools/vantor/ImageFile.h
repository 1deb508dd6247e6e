// tools/vantor/ImageFile.h
// What the host tells about an intact image file, as the library reads it (ImageDisk):
// its header's fields, its run count and its size. read() throws what the library
// throws for an image that restore would refuse: ERR_FILE_ACCESS (cannot be mapped,
// shorter than a header), ERR_INVALID_IMAGE_FILE (foreign or damaged, naming what is
// wrong), ERR_INCOMPATIBLE_IMAGE (another major version). So info and restore always
// agree on what is damaged.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::cli {

class ImageFile {
 public:
  static ImageFile read(const std::string& path);
  // True when the `size` bytes at `header` begin with an image header.
  static bool hasSignature(const unsigned char* header, std::size_t size);

  std::uint32_t runCount = 0;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint64_t totalSectors = 0;
  std::uint32_t sectorSize = 0;
  std::uint64_t highestVolumeSector = 0;
  std::uint64_t fileSize = 0;

  std::uint64_t usedBytes() const { return totalSectors * sectorSize; }
};

}  // namespace vantor::cli

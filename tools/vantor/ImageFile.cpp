#include "ImageFile.h"

#include <libVantor/ImageDisk.h>

namespace vantor::cli {

bool ImageFile::hasSignature(const unsigned char* header, std::size_t size) {
  return ImageDisk::hasImageSignature(header, size);
}

ImageFile ImageFile::read(const std::string& path) {
  const ImageDisk disk(path);
  ImageFile image;
  image.runCount = static_cast<std::uint32_t>(disk.getRuns().size());
  image.majorVersion = disk.getMajorVersion();
  image.minorVersion = disk.getMinorVersion();
  image.totalSectors = disk.getTotalSectors();
  image.sectorSize = disk.getSectorSize();
  image.highestVolumeSector = disk.getHighestVolumeSector();
  image.fileSize = disk.getFileSize();
  return image;
}

}  // namespace vantor::cli

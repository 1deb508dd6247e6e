#include "ImageFile.h"

#include <algorithm>
#include <fstream>

#include <libVantor/DiskImager.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>

#include "Utf8Path.h"

namespace vantor::cli {

bool ImageFile::hasSignature(const unsigned char* header, std::size_t size) {
  return ImageDisk::hasImageSignature(header, size);
}

bool ImageFile::startsWithImage(const std::string& path) {
  if (PathFacts::inspect(path).kind != PathFacts::Kind::Regular) return false;
  std::ifstream in(fsPath(path), std::ios::binary);
  unsigned char header[512] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  return hasSignature(header, static_cast<std::size_t>(in.gcount())) || ImageDisk::holdsCompressedImage(path);
}

void ImageFile::requireRegularFile(const std::string& path, const std::string& argument) {
  const PathFacts::Kind kind = PathFacts::inspect(path).kind;
  if (kind != PathFacts::Kind::Missing && kind != PathFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + argument + "\" is not a regular file" +
                                               (kind == PathFacts::Kind::Directory ? " (a directory)" : "") +
                                               "; an image is always a regular file");
  }
}

void ImageFile::refuseCompressed(const std::string& path, const std::string& argument, const std::string& command,
                                 bool writing) {
  const std::string kind = DiskImager::compressionOf(path);
  if (kind.empty()) return;
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + argument + "\" is a disk image compressed with " +
                                                    kind + ", which " + command +
                                                    " cannot read in place: decompress it first" +
                                                    (writing ? "; nothing was written" : ""));
}

ImageFile ImageFile::read(const std::string& path) {
  const ImageDisk disk(path);
  ImageFile image;
  image.runCount = static_cast<std::uint32_t>(disk.getRuns().size());
  for (const ImageDisk::Run& run : disk.getRuns()) image.runs.push_back({run.firstSector, run.sectorCount, run.fileOffset});
  image.majorVersion = disk.getMajorVersion();
  image.minorVersion = disk.getMinorVersion();
  image.totalSectors = disk.getTotalSectors();
  image.sectorSize = disk.getSectorSize();
  image.highestVolumeSector = disk.getHighestVolumeSector();
  image.fileSize = disk.getFileSize();
  image.compressed = disk.isCompressed();
  image.gpt = DriveVolumes::tableOf(disk) == "gpt";
  return image;
}

std::uint64_t ImageFile::requiredBytes(std::uint64_t headerBytes) const {
  if (gpt) return headerBytes;  // restore moves the backup table to the target's end
  std::uint64_t required = headerBytes;
  for (const Run& run : runs) required = std::max(required, (run.firstSector + run.sectorCount) * sectorSize);
  return required;
}

}  // namespace vantor::cli

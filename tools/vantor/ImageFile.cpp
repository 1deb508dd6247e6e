#include "ImageFile.h"

#include <cstring>
#include <fstream>

#include <libVantor/VantorException.h>

namespace vantor::cli {
namespace {

const char SIGNATURE[] = "QUILLMARK IMAGE FILE";  // 20 characters and the zero byte after them
constexpr std::size_t SIGNATURE_OFFSET = 40;

std::uint64_t littleEndian(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

bool ImageFile::hasSignature(const unsigned char* header, std::size_t size) {
  return size >= SIGNATURE_OFFSET + sizeof SIGNATURE &&
         std::memcmp(header + SIGNATURE_OFFSET, SIGNATURE, sizeof SIGNATURE) == 0;
}

ImageFile ImageFile::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot open image file \"") + path + "\"");
  in.seekg(0, std::ios::end);
  ImageFile image;
  image.fileSize = static_cast<std::uint64_t>(in.tellg());
  in.seekg(0);
  unsigned char header[HEADER_BYTES];
  if (image.fileSize < HEADER_BYTES || !in.read(reinterpret_cast<char*>(header), HEADER_BYTES)) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + path + "\" is shorter than an image header (" +
                                               std::to_string(image.fileSize) + " bytes)");
  }
  if (!hasSignature(header, sizeof header)) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\" is not a disk image file (no signature)");
  }
  image.runCount = static_cast<std::uint32_t>(littleEndian(header + 0, 4));
  image.majorVersion = static_cast<std::uint16_t>(littleEndian(header + 4, 2));
  image.minorVersion = static_cast<std::uint16_t>(littleEndian(header + 6, 2));
  image.totalSectors = littleEndian(header + 8, 8);
  image.sectorSize = static_cast<std::uint32_t>(littleEndian(header + 16, 4));
  image.firstUsedSector = littleEndian(header + 20, 8);
  image.highestVolumeSector = littleEndian(header + 28, 8);
  image.firstRunOffset = static_cast<std::uint32_t>(littleEndian(header + 36, 4));
  if (image.majorVersion != 2) {
    throw VantorException(ERR_INCOMPATIBLE_IMAGE, vrk::String("\"") + path + "\" has image format version " +
                                                      std::to_string(image.majorVersion) + "; only version 2 is read");
  }

  std::uint64_t offset = image.firstRunOffset;
  for (std::uint32_t run = 0; run < image.runCount; ++run) {
    unsigned char runHeader[RUN_HEADER_BYTES];
    in.seekg(static_cast<std::streamoff>(offset));
    if (offset + RUN_HEADER_BYTES > image.fileSize || !in.read(reinterpret_cast<char*>(runHeader), RUN_HEADER_BYTES)) {
      return image;
    }
    const std::uint64_t sectors = littleEndian(runHeader + 4, 4);
    offset += RUN_HEADER_BYTES + sectors * image.sectorSize;
    if (offset > image.fileSize) return image;
    ++image.runsPresent;
  }
  image.complete = offset == image.fileSize;
  return image;
}

}  // namespace vantor::cli

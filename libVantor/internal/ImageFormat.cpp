#include <libVantor/internal/ImageFormat.h>

#include <algorithm>
#include <cstring>

#include <libVantor/VantorException.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/internal/ImageBytes.h>

namespace vantor {

void encodeImageHeader(const ImageHeader& h, u8 out[image::HEADER_SIZE]) {
  std::memset(out, 0, image::HEADER_SIZE);
  writeLE32(out + 0, h.runCount);
  writeLE16(out + 4, h.majorVersion);
  writeLE16(out + 6, h.minorVersion);
  writeLE64(out + 8, h.totalSectors);
  writeLE32(out + 16, h.sectorSize);
  writeLE64(out + 20, h.firstUsedSector);
  writeLE64(out + 28, h.highestVolumeSector);
  writeLE32(out + 36, h.firstRunOffset);
  std::memcpy(out + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE);
}

void encodeRunHeader(u32 firstSector, u32 numSectors, u8 out[image::RUN_HEADER_SIZE]) {
  writeLE32(out, firstSector);
  writeLE32(out + 4, numSectors);
}

ImageHeader parseImageHeader(const u8* bytes) {
  if (std::memcmp(bytes + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE) != 0) {
    throw VantorException(ERR_INVALID_IMAGE_FILE,
                          "Invalid signature in image file header. File is likely not a Quillmark disk image file.");
  }
  ImageHeader h;
  h.majorVersion = readLE16(bytes + 4);
  if (h.majorVersion != image::MAJOR_VERSION) {
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          "Quillmark Image File uses a version that is incompatible with this application.");
  }
  h.runCount = readLE32(bytes + 0);
  h.minorVersion = readLE16(bytes + 6);
  h.totalSectors = readLE64(bytes + 8);
  h.sectorSize = readLE32(bytes + 16);
  h.firstUsedSector = readLE64(bytes + 20);
  h.highestVolumeSector = readLE64(bytes + 28);
  h.firstRunOffset = readLE32(bytes + 36);
  return h;
}

u64 checkImageRuns(const ImageHeader& h, const ImageBytes& bytes, u32 sectorSize, const vrk::String& path) {
  const u64 fileSize = bytes.size();
  const auto refuse = [&path](const vrk::String& why) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("Damaged image file \"") + path + "\": " + why);
  };
  if (sectorSize == 0) refuse("it gives 0-byte sectors in its header (field sectorSize)");
  if (h.firstRunOffset < image::HEADER_SIZE || h.firstRunOffset > fileSize) {
    refuse(vrk::SprintfFormat("first run offset %u lies outside the file", h.firstRunOffset));
  }
  u64 offset = h.firstRunOffset;
  u64 sum = 0;
  u64 highest = 0;
  for (u32 i = 0; i < h.runCount; ++i) {
    if (fileSize - offset < image::RUN_HEADER_SIZE) {
      refuse(vrk::SprintfFormat("run %u of %u starts past the end of the file", i + 1, h.runCount));
    }
    u8 record[image::RUN_HEADER_SIZE];
    bytes.read(offset, record, sizeof record);
    const u32 firstSector = readLE32(record);
    const u32 numSectors = readLE32(record + 4);
    offset += image::RUN_HEADER_SIZE;
    const u64 runBytes = u64(numSectors) * sectorSize;
    if (fileSize - offset < runBytes) {
      refuse(vrk::SprintfFormat("run %u (LBA %08Xh, %u sectors) reaches past the end of the file", i + 1,
                                firstSector, numSectors));
    }
    if (numSectors > 0 && u64(firstSector) + numSectors - 1 > 0xFFFFFFFFull) {
      refuse(vrk::SprintfFormat("run %u (LBA %08Xh, %u sectors) reaches past sector FFFFFFFFh", i + 1, firstSector,
                                numSectors));
    }
    offset += runBytes;
    sum += numSectors;
    if (numSectors > 0) highest = std::max(highest, u64(firstSector) + numSectors - 1);
  }
  if (sum != h.totalSectors) {
    refuse(vrk::SprintfFormat("the runs hold %I64u sectors but the header says %I64u", sum, h.totalSectors));
  }
  if (offset != fileSize) {
    refuse(vrk::SprintfFormat("%I64u bytes follow the last run", fileSize - offset));
  }
  return highest;
}

}  // namespace vantor

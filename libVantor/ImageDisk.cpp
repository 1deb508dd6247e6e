#include <libVantor/ImageDisk.h>

#include <algorithm>
#include <cstring>

#include <libVantor/VantorException.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/internal/ImageBytes.h>

namespace vantor {

static_assert(ImageDisk::RUN_RECORD_BYTES == image::RUN_HEADER_SIZE, "a run record as the image format lays it out");

ImageDisk::ImageDisk(const vrk::String& imagePath) : path(imagePath) {
  auto mapped = std::make_shared<const ImageBytes>(imagePath);
  if (mapped->size() < image::HEADER_SIZE) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
  }
  u8 headerBytes[image::HEADER_SIZE];
  mapped->read(0, headerBytes, sizeof headerBytes);
  const ImageHeader header = parseImageHeader(headerBytes);
  const u64 highestUsed = checkImageRuns(header, *mapped, header.sectorSize, imagePath);
  file = std::move(mapped);
  sectorSize = header.sectorSize;
  majorVersion = header.majorVersion;
  minorVersion = header.minorVersion;
  totalSectors = header.totalSectors;
  firstUsedSector = header.firstUsedSector;
  highestVolumeSector = header.highestVolumeSector;

  u64 offset = header.firstRunOffset;
  runs.reserve(header.runCount);
  for (u32 i = 0; i < header.runCount; ++i) {
    u8 record[image::RUN_HEADER_SIZE];
    file->read(offset, record, sizeof record);
    const Run run{readLE32(record), readLE32(record + 4), offset + image::RUN_HEADER_SIZE};
    if (!runs.empty() && u64(runs.back().firstSector) + runs.back().sectorCount > run.firstSector) ascending = false;
    runs.push_back(run);
    offset = run.fileOffset + u64(run.sectorCount) * sectorSize;
  }
  // What a drive must hold: the volumes, and every used sector even when a damaged or
  // hand-made header says less. A header that asks for more than 64 bits can count saturates.
  const unsigned __int128 lastSector = std::max<u64>(highestVolumeSector, header.runCount ? highestUsed : 0);
  const unsigned __int128 bytes = (lastSector + 1) * sectorSize;
  sizeBytes = bytes > ~u64(0) ? ~u64(0) : static_cast<u64>(bytes);
}

ImageDisk::ImageDisk(const ImageDisk& other) = default;
ImageDisk& ImageDisk::operator=(const ImageDisk& other) = default;
ImageDisk::~ImageDisk() = default;

ImageDisk* ImageDisk::clone() const { return new ImageDisk(*this); }

u32 ImageDisk::getSizeSectors() const { return static_cast<u32>(std::min<u64>(sizeBytes / sectorSize, 0xFFFFFFFFu)); }

bool ImageDisk::impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const {
  const u64 first = sectorOffset, end = first + sectorCount;
  if (end > sizeBytes / sectorSize) return false;  // past the end, as on a drive
  if (sectorCount == 0) return true;               // nothing to read: the buffer may be null
  u8* out = static_cast<u8*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(u64(sectorCount) * sectorSize));
  // Runs in file order, later ones over earlier ones: what a restore would leave.
  auto from = runs.begin();
  if (ascending) {
    from = std::partition_point(runs.begin(), runs.end(),
                                [first](const Run& r) { return u64(r.firstSector) + r.sectorCount <= first; });
  }
  for (auto run = from; run != runs.end(); ++run) {
    const u64 runFirst = run->firstSector, runEnd = runFirst + run->sectorCount;
    if (ascending && runFirst >= end) break;
    const u64 from64 = std::max(first, runFirst), to = std::min(end, runEnd);
    if (from64 >= to) continue;
    u8* into = out + (from64 - first) * sectorSize;
    const u64 at = run->fileOffset + (from64 - runFirst) * sectorSize;
    const std::size_t n = static_cast<std::size_t>((to - from64) * sectorSize);
    try {
      file->read(at, into, n);
    } catch (const VantorException&) {
      return false;  // a damaged frame, or a file that can no longer be read
    }
  }
  return true;
}

bool ImageDisk::impWriteSectors(u32, const void*, u32) { return false; }

u64 ImageDisk::getFileSize() const { return file->fileSize(); }

u64 ImageDisk::getImageSize() const { return file->size(); }

bool ImageDisk::isCompressed() const { return file->isCompressed(); }

bool ImageDisk::hasImageSignature(const void* bytes, u64 size) {
  return size >= image::SIGNATURE_OFFSET + image::SIGNATURE_SIZE &&
         std::memcmp(static_cast<const u8*>(bytes) + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE) == 0;
}

}  // namespace vantor

namespace vantor {

bool ImageDisk::holdsCompressedImage(const vrk::String& path) { return ImageBytes::holdsCompressedImage(path); }

}  // namespace vantor

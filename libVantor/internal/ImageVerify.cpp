// Comparing a drive with an image file, chunk by chunk, without writing anything.
#include <cstring>

#include <libVantor/ImageDisk.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/ImageFormat.h>

namespace vantor {

void verifyDiskAgainstImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                            const vrk::String& imagePath, ImagingThreadData&) {
  const ImageDisk image(imagePath);  // refused here as restore refuses a damaged image
  const u32 sectorSize = disk.getSectorSize();
  if (image.getSectorSize() != sectorSize) {
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          vrk::String("Image file and device are incompatible. ") +
                              vrk::SprintfFormat("Image uses %u byte sectors, whereas device uses %u byte sectors.",
                                                 image.getSectorSize(), sectorSize));
  }
  DiskBufferPointer expected(u64(image::CHUNK_SECTORS) * sectorSize);
  DiskBufferPointer found(u64(image::CHUNK_SECTORS) * sectorSize);
  u64 done = 0;
  for (const ImageDisk::Run& run : image.getRuns()) {
    for (u32 chunk = 0; chunk < run.sectorCount; chunk += image::CHUNK_SECTORS) {
      engine->throwIfAbortRequested();
      const u32 count = std::min<u32>(image::CHUNK_SECTORS, run.sectorCount - chunk);
      const u32 lba = run.firstSector + chunk;
      if (!image.readSectors(lba, expected.get(), count)) {
        throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
      }
      if (!disk.readSectors(lba, found.get(), count)) {
        throw VantorException(ERR_DISK_ACCESS,
                              vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba));
      }
      if (std::memcmp(expected.get(), found.get(), std::size_t(count) * sectorSize) != 0) {
        throw VantorException(
            ERR_VERIFY_MISMATCH,
            vrk::SprintfFormat("Data mismatch during verification of sector chunk starting at LBA %08Xh", lba));
      }
      done += count;
      engine->notifyProgress(percentOf(done, image.getTotalSectors()));
      if (chunk > 0xFFFFFFFFu - image::CHUNK_SECTORS) break;  // the last chunk of a run ending at 2^32 - 1
    }
  }
}

}  // namespace vantor

// Writing an image file back onto a drive, optionally verifying every chunk.
#include <cstring>

#include <boost/optional.hpp>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/WriteProtection.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/LittleEndian.h>
#include <vrk/Files.h>
#include <vrk/Log.h>

namespace vantor {

void writeImageFileToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                          const vrk::String& imagePath, ImagingThreadData& data) {
  static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
  vrk::TraceLogger trace(logger, "writeImageFileToDisk", "libVantor/DiskImager", 310);
  if (data.wholeDrive) throw VantorException("Currently an unsupported feature");

  const u32 sectorSize = disk.getSectorSize();
  DiskBufferPointer writeBuffer(u64(image::CHUNK_SECTORS) * sectorSize);
  vrk::MMapFile file(imagePath);
  if (!file.data() || file.size() < image::HEADER_SIZE) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
  }
  const ImageHeader header = parseImageHeader(file.data());
  if (header.sectorSize != sectorSize) {  // the file may have changed since the start checked it
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          vrk::String("Image file and device are incompatible. ") +
                              vrk::SprintfFormat("Image uses %u byte sectors, whereas device uses %u byte sectors.",
                                                 header.sectorSize, sectorSize));
  }
  // A damaged file is refused before the drive is touched.
  const u64 highestUsed = checkImageRuns(header, file.data(), file.size(), sectorSize, imagePath);
  const u64 driveSectors = fullSectorCount(disk);
  if (header.runCount > 0 && highestUsed >= driveSectors) {
    throw VantorException(
        ERR_VOLUME_TOO_LARGE,
        vrk::SprintfFormat("Image holds used sectors beyond the drive capacity.\n   Highest Used Sector:   %08I64Xh\n"
                           "   Highest Drive Sector:  %08I64Xh\n",
                           highestUsed, driveSectors - 1));
  }

  refuseIfWriteProtected(disk);
  if (!disk.dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);
  boost::optional<DiskBufferPointer> readBuffer;
  if (data.verify) readBuffer.emplace(u64(image::CHUNK_SECTORS) * sectorSize);

  u64 offset = header.firstRunOffset;
  u64 done = 0;
  for (u32 i = 0; i < header.runCount; ++i) {
    const u32 firstSector = readLE32(file.data() + offset);
    const u32 numSectors = readLE32(file.data() + offset + 4);
    offset += image::RUN_HEADER_SIZE;
    for (u32 chunk = 0; chunk < numSectors; chunk += image::CHUNK_SECTORS) {
      engine->throwIfAbortRequested();
      const u32 count = std::min<u32>(image::CHUNK_SECTORS, numSectors - chunk);
      const u32 lba = firstSector + chunk;
      const std::size_t bytes = std::size_t(count) * sectorSize;
      std::memcpy(writeBuffer.get(), file.data() + offset + u64(chunk) * sectorSize, bytes);
      if (!disk.writeSectors(lba, writeBuffer.get(), count)) {
        throw VantorException(ERR_DISK_ACCESS,
                              vrk::SprintfFormat("Error writing sector chunk starting at LBA %08Xh", lba));
      }
      if (readBuffer) {
        if (!disk.readSectors(lba, readBuffer->get(), count)) {
          throw VantorException(ERR_DISK_ACCESS,
                                vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba));
        }
        if (std::memcmp(writeBuffer.get(), readBuffer->get(), bytes) != 0) {
          throw VantorException(
              ERR_VERIFY_MISMATCH,
              vrk::SprintfFormat("Data mismatch during verification of sector chunk starting at LBA %08Xh", lba));
        }
      }
      done += count;
      engine->notifyProgress(percentOf(done, header.totalSectors));
      if (chunk > 0xFFFFFFFFu - image::CHUNK_SECTORS) break;
    }
    offset += u64(numSectors) * sectorSize;
  }
  if (data.onImageWritten) {
    try {
      data.onImageWritten(engine->device.rawDiskPtr());
    } catch (...) {
      (void)disk.mountDrive();  // every sector is written: the caller's failure does not keep the drive
      throw;
    }
  }
  (void)disk.mountDrive();
}

}  // namespace vantor

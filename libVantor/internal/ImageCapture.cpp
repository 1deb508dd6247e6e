// Capturing a drive's used sectors (or the whole drive) into an image file.
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/SectorMap.h>
#include <vrk/Files.h>

namespace vantor {
namespace {

// The image file while it is written: closed and deleted when the capture is given up.
// Only a regular file opens (see vrk::OFStream), so a given-up capture never removes
// anything but the file it was writing. A failed write or close throws ERR_FILE_ACCESS
// naming the file and the system's reason.
class ImageFileWriter {
 public:
  explicit ImageFileWriter(const vrk::String& path) : path_(path), stream_(path) {}
  bool isOpen() const { return stream_.isOpen(); }
  void write(const void* data, std::size_t size) {
    if (!stream_.write(data, size)) throwWriteFailure(os::lastSystemError());
  }
  void finish() {
    if (!stream_.close()) throwWriteFailure(os::lastSystemError());
  }
  [[noreturn]] void discardAndThrow(const VantorException& e) {
    (void)stream_.close();
    vrk::FileSystem::removeFile(path_);
    throw e;
  }

 private:
  // `systemError` is the system's code as the failed write or close left it.
  [[noreturn]] void throwWriteFailure(int systemError) const {
    vrk::String message = vrk::String("Error writing image file \"") + path_ + "\"";
    if (systemError != 0) message += vrk::String(": ") + os::systemErrorText(systemError);
    throw VantorException(ERR_FILE_ACCESS, message);
  }

  vrk::String path_;
  vrk::OFStream stream_;
};

}  // namespace

void captureImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                  const vrk::String& imagePath, ImagingThreadData& data) {
  const u64 driveSectors = fullSectorCount(disk);
  if (data.wholeDrive) refuseWholeDriveBeyondSectorNumbers(disk, "captured");
  ImageFileWriter file(imagePath);
  if (!file.isOpen()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
  }
  const u32 sectorSize = disk.getSectorSize();
  SectorMap map;
  DiskBufferPointer buffer(u64(image::CHUNK_SECTORS) * sectorSize);
  u64 total = 0;

  if (data.wholeDrive) {
    const u32 n = static_cast<u32>(driveSectors);  // whole drives past 32-bit sector numbers are refused above
    if (n > 0) map.append(makeSectorRange(0, n, sectorSize));
    total = n;
  } else {
    u64 highestVolumeSector = 0;
    getDriveMap(disk, map, highestVolumeSector, data.allowVolumeBeyondDrive);
    const u64 lastUsed = map[map.size() - 1].lastSector;
    const u64 lastOfDrive = driveSectors - 1;
    if (lastUsed > lastOfDrive) {
      throw VantorException(
          ERR_VOLUME_TOO_LARGE,
          vrk::SprintfFormat("File system reports used sectors in an area of volume that is beyond the drive "
                             "capacity.\n   Highest Used Sector:   %08I64Xh\n   Highest Volume Sector: %08I64Xh\n",
                             lastUsed, lastOfDrive));
    }
    for (const SectorRange& r : map) total += r.numSectors;
    ImageHeader header;
    header.runCount = map.size();
    header.totalSectors = total;
    header.sectorSize = sectorSize;
    header.firstUsedSector = map[0].firstSector;
    header.highestVolumeSector = highestVolumeSector;
    u8 bytes[image::HEADER_SIZE];
    encodeImageHeader(header, bytes);
    file.write(bytes, sizeof bytes);
  }

  u64 done = 0;
  for (const SectorRange& run : map) {
    if (!data.wholeDrive) {
      u8 runHeader[image::RUN_HEADER_SIZE];
      encodeRunHeader(run.firstSector, run.numSectors, runHeader);
      file.write(runHeader, sizeof runHeader);
    }
    for (u32 offset = 0; offset < run.numSectors; offset += image::CHUNK_SECTORS) {
      if (engine->state == DiskImagerImp::IMAGER_ABORTED) file.discardAndThrow(VantorException(ERR_ABORTED));
      const u32 count = std::min<u32>(image::CHUNK_SECTORS, run.numSectors - offset);
      const u32 lba = run.firstSector + offset;
      if (!disk.readSectors(lba, buffer.get(), count)) {
        file.discardAndThrow(
            VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba)));
      }
      file.write(buffer.get(), std::size_t(count) * sectorSize);
      done += count;
      engine->notifyProgress(percentOf(done, total));
      if (offset > 0xFFFFFFFFu - image::CHUNK_SECTORS) break;  // the last chunk of a run ending at 2^32 - 1
    }
  }
  file.finish();
}

}  // namespace vantor

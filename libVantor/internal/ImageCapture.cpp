// Capturing a drive's used sectors (or the whole drive) into an image file.
//
// Once the map is known, a drive thread reads the chunks into a ring while the worker
// writes them to the file in order and reports each. With a ring of one slot the drive
// reads a chunk, one 256-sector request, only once the one before was reported, so an
// abort asked from a notification stops the capture before the next read; a larger ring
// (streaming) lets the drive read a run's chunks in requests of up to 4 MiB, and never
// past the run's end, while the file is written. The worker stops at
// the first chunk the drive thread could not read, with that chunk's error. What the
// mapping read in large pieces (a FAT) is kept and copied, not read from the drive again. The file gets one write per
// chunk (see ImageFileWriter), and it is on the medium (fsync) when the capture ends.
// With checksums, the file is written under a temporary name, each chunk is digested as
// it goes to the file, and the image and its checksum file are put in place together at
// the end (ImageCommit).
// With compression the image's bytes go through an ImageCompressor on their way to the
// file: the chunks are compressed in frames on its threads while the drive thread reads
// on, the file gets the frames in order and the seek table last; the checksums are of
// the image's own bytes, digested as before.
#include <algorithm>
#include <memory>
#include <vector>

#include <libVantor/WriteSafety.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveChunkReads.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/DriveThread.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/ImageCommit.h>
#include <libVantor/internal/ImageCompressor.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/ImageSumsFile.h>
#include <libVantor/internal/KeptReads.h>
#include <libVantor/internal/SectorMap.h>
#include <vrk/Files.h>

namespace vantor {
namespace {

// Chunk buffers between the drive thread and the worker when the drive may run ahead:
// 8 MiB of them (at least 4), so that the drive thread can read whole requests (see
// readDriveChunks) while the worker still writes the ones before.
constexpr std::size_t RING_BYTES = 8u << 20;
std::size_t streamingSlots(std::size_t chunkBytes) {
  return std::max<std::size_t>(4, chunkBytes > 0 ? RING_BYTES / chunkBytes : 0);
}

// The image file while it is written: closed and deleted when the capture is given up.
// Only a regular file opens (see vrk::OFStream), so a given-up capture never removes
// anything but the file it was writing. Each chunk goes out in one gather write that
// ends on a page boundary of the file: the bytes put ahead (the headers, and the end of
// the chunk before, less than a page) first, then the chunk up to the boundary; the rest
// of the chunk waits for the next write. The headers shift the data off the file's
// pages, and whole-page writes let the system write the file out in whole pages, which
// it starts to do every few MiB rather than all at the final sync. A
// failed write, sync or close throws ERR_FILE_ACCESS naming the file and the system's
// reason.
class ImageFileWriter {
 public:
  explicit ImageFileWriter(const vrk::String& path) : path_(path), stream_(path) {}
  bool isOpen() const { return stream_.isOpen(); }
  void putAhead(const void* data, std::size_t size) {
    const u8* bytes = static_cast<const u8*>(data);
    ahead_.insert(ahead_.end(), bytes, bytes + size);
  }
  void writeChunk(const void* data, std::size_t size) {
    const u8* bytes = static_cast<const u8*>(data);
    const u64 end = (written_ + ahead_.size() + size) / FILE_PAGE * FILE_PAGE;
    if (end <= written_ + ahead_.size()) return putAhead(bytes, size);  // less than a page in all
    const std::size_t now = static_cast<std::size_t>(end - written_ - ahead_.size());
    if (!stream_.write(ahead_.data(), ahead_.size(), bytes, now)) throwWriteFailure(os::lastSystemError());
    written_ = end;
    ahead_.assign(bytes + now, bytes + size);
    if (written_ - writebackFrom_ >= WRITEBACK_STEP) {
      stream_.startWriteback(writebackFrom_, written_ - writebackFrom_);
      writebackFrom_ = written_;
    }
  }
  // Writes what is put ahead, and returns once the whole file is on the medium.
  void finish() {
    if (!ahead_.empty() && !stream_.write(ahead_.data(), ahead_.size())) throwWriteFailure(os::lastSystemError());
    ahead_.clear();
    if (!stream_.sync() || !stream_.close()) throwWriteFailure(os::lastSystemError());
  }
  u64 size() const { return written_ + ahead_.size(); }
  void discard() {
    (void)stream_.close();
    vrk::FileSystem::removeFile(path_);
  }

 private:
  // `systemError` is the system's code as the failed write or close left it.
  [[noreturn]] void throwWriteFailure(int systemError) const {
    vrk::String message = vrk::String("Error writing image file \"") + path_ + "\"";
    if (systemError != 0) message += vrk::String(": ") + os::systemErrorText(systemError);
    throw VantorException(ERR_FILE_ACCESS, message);
  }
  static constexpr u64 FILE_PAGE = 4096;
  // The file goes out to the medium while the capture runs, this many bytes at a time, so
  // that the sync at the end waits for the last few only.
  static constexpr u64 WRITEBACK_STEP = 8ull << 20;

  vrk::String path_;
  vrk::OFStream stream_;
  u64 written_ = 0;        // bytes in the file
  u64 writebackFrom_ = 0;  // bytes before this offset were handed to the system's writeback
  std::vector<u8> ahead_;  // bytes that go out first with the next write
};

// The image's bytes as the capture hands them on: to the file as they are, or through
// the compressor. size() is the image's own size either way.
class ImageOutput {
 public:
  ImageOutput(ImageFileWriter& file, int level) : file_(file) {
    if (level > 0) {
      compressor_ = std::make_unique<ImageCompressor>(
          level, [&file](const u8* bytes, std::size_t size) { file.writeChunk(bytes, size); });
    }
  }
  void putAhead(const void* data, std::size_t size) {
    if (compressor_) return compressor_->append(data, size);
    file_.putAhead(data, size);
  }
  void writeChunk(const void* data, std::size_t size) {
    if (compressor_) return compressor_->append(data, size);
    file_.writeChunk(data, size);
  }
  u64 size() const { return compressor_ ? compressor_->imageBytes() : file_.size(); }
  void finish() {
    if (compressor_) compressor_->finish();
    file_.finish();
  }
  void discard() {
    compressor_.reset();
    file_.discard();
  }

 private:
  ImageFileWriter& file_;
  std::unique_ptr<ImageCompressor> compressor_;
};

}  // namespace

void captureImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                  const vrk::String& imagePath, ImagingThreadData& data) {
  const u64 driveSectors = fullSectorCount(disk);
  if (data.wholeDrive) refuseWholeDriveBeyondSectorNumbers(disk, "captured");
  WriteSafety::refuseImageOnTarget(imagePath, disk, false);
  boost::optional<ImageCommit> commit;
  if (data.checksums) commit.emplace(imagePath, data.replaceImage);
  const vrk::String writtenPath = commit ? commit->temporaryPath() : imagePath;
  ImageFileWriter writer(writtenPath);
  if (!writer.isOpen()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + writtenPath + "\"");
  }
  ImageOutput file(writer, data.compressionLevel);
  // The checksums: the header and every run header (digested at the end), each chunk's.
  const bool sumsMade = commit && !data.wholeDrive;
  std::vector<u8> table;
  ImageSumsFile sums;
  const u32 sectorSize = disk.getSectorSize();
  SectorMap map;
  KeptReads kept;  // what the mapping read in large pieces: not read again
  u64 total = 0;

  if (data.wholeDrive) {
    const u32 n = static_cast<u32>(driveSectors);  // whole drives past 32-bit sector numbers are refused above
    if (n > 0) map.append(makeSectorRange(0, n, sectorSize));
    total = n;
  } else {
    u64 highestVolumeSector = 0;
    const KeptReads::Watch watch(disk, kept);
    if (data.everyVolume) {
      EveryVolumeMap every = mapEveryVolume(disk, data.allowVolumeBeyondDrive);
      map = std::move(every.map);
      highestVolumeSector = every.highestVolumeSector;
    } else {
      getDriveMap(disk, map, highestVolumeSector, data.allowVolumeBeyondDrive);
    }
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
    file.putAhead(bytes, sizeof bytes);
    if (sumsMade) table.assign(bytes, bytes + sizeof bytes);
  }

  // From here until it is joined, only the drive thread touches the drive.
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * sectorSize;
  ChunkRing ring(2, chunkRingSlots(data, streamingSlots(chunkBytes)), chunkBytes);
  DriveThread drive(ring, 0, [&disk, &map, &ring, &engine, &kept] {
    readDriveChunks(disk, map, ring, *engine, &kept);
  });
  u64 done = 0;
  for (const SectorRange& run : map) {
    if (!data.wholeDrive) {
      u8 runHeader[image::RUN_HEADER_SIZE];
      encodeRunHeader(run.firstSector, run.numSectors, runHeader);
      file.putAhead(runHeader, sizeof runHeader);
      if (sumsMade) table.insert(table.end(), runHeader, runHeader + sizeof runHeader);
    }
    forEachChunk(run.firstSector, run.numSectors, image::CHUNK_SECTORS, [&](u32, u32) {
      if (engine->state == DiskImagerImp::IMAGER_ABORTED) {
        file.discard();
        throw VantorException(ERR_ABORTED);
      }
      const boost::optional<u64> sequence = ring.next(1);
      if (!sequence) {
        // The drive thread stopped before this chunk: it saw the abort, or it failed.
        drive.join();
        file.discard();
        engine->throwIfAbortRequested();
        throw VantorException(ERR_GENERAL, "The capture's drive thread stopped early");
      }
      ChunkRing::Slot& slot = ring.slot(*sequence);
      if (slot.failure) {
        if (slot.removesFile) file.discard();
        std::rethrow_exception(slot.failure);
      }
      file.writeChunk(slot.data.get(), std::size_t(slot.count) * sectorSize);
      if (sumsMade) sums.chunks.push_back(ImageSumsFile::digest(slot.data.get(), std::size_t(slot.count) * sectorSize));
      done += slot.count;
      engine->notifyProgress(percentOf(done, total));
      ring.pass(1);  // after the report: the drive thread tests for an abort before its next read
    });
  }
  drive.join();
  const u64 imageSize = file.size();
  file.finish();
  if (!commit) return;
  std::vector<u8> sumsBytes;
  if (sumsMade) {
    sums.sectorSize = sectorSize;
    sums.imageSize = imageSize;
    sums.table = ImageSumsFile::digest(table.data(), table.size());
    sumsBytes = sums.encode();
  }
  commit->commit(sumsBytes);
}

}  // namespace vantor

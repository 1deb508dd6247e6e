// Writing an image file back onto a drive, optionally verifying every chunk.
//
// Once the image is checked and the drive dismounted, a drive thread writes the chunks
// (and with verify reads each back and compares it before the next, as ever, so that
// nothing is written past a chunk that failed) while the worker copies the chunks out of
// the image, mapped and advised sequential so that the system reads it ahead, and
// reports each chunk the drive thread is through with, in order. With a ring of one slot
// a chunk is written only once the one before was reported, so an abort asked from a
// notification stops the restore before the next write; a larger ring (streaming) lets
// the worker copy ahead while the drive writes. A failure names its chunk as ever.
// With checksums, the image's header and run table are held against its checksum file
// before the drive is touched, and each chunk before it is handed to the drive thread.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/WriteProtection.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveThread.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/ImageSumsCheck.h>
#include <libVantor/LittleEndian.h>
#include <vrk/Files.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

// Chunk buffers between the worker and the drive thread when the drive may run ahead.
constexpr std::size_t STREAMING_SLOTS = 8;
// The image's pages leave the process each time this many more were copied out.
constexpr u64 RELEASE_STEP = 8ull << 20;

// The drive thread's part (stage 1): writes each chunk the worker copied into the ring,
// and with `verify` reads it back and compares it, before the next. Stops at the first
// chunk that fails, with its failure in its slot, and before a chunk once an abort was
// asked for.
void writeChunks(IDisk& disk, ChunkRing& ring, const DiskImagerImp& engine, u32 sectorSize, bool verify) {
  boost::optional<DiskBufferPointer> readBuffer;
  if (verify) readBuffer.emplace(u64(image::CHUNK_SECTORS) * sectorSize);
  for (;;) {
    const boost::optional<u64> sequence = ring.next(1);
    // Tested once the chunk is there: with one slot, that is after the one before was reported.
    if (!sequence || engine.state == DiskImagerImp::IMAGER_ABORTED) return;
    ChunkRing::Slot& slot = ring.slot(*sequence);
    const u32 lba = slot.lba;
    const u32 count = slot.count;
    try {
      if (!disk.writeSectors(lba, slot.data.get(), count)) {
        throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error writing sector chunk starting at LBA %08Xh", lba));
      }
      if (readBuffer) {
        if (!disk.readSectors(lba, readBuffer->get(), count)) {
          throw VantorException(ERR_DISK_ACCESS,
                                vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba));
        }
        if (std::memcmp(slot.data.get(), readBuffer->get(), std::size_t(count) * sectorSize) != 0) {
          throw VantorException(
              ERR_VERIFY_MISMATCH,
              vrk::SprintfFormat("Data mismatch during verification of sector chunk starting at LBA %08Xh", lba));
        }
      }
    } catch (...) {
      slot.failure = std::current_exception();
    }
    const bool failed = slot.failure != nullptr;
    ring.pass(1);
    if (failed) return;
  }
}

// A stretch of sectors the restore writes, and where its data lies in the image file.
struct Piece {
  u32 firstSector;
  u32 numSectors;
  u64 dataOffset;
};

// The image's runs as pieces to write, less the sectors [skipFirst, skipLast] (none when
// skipFirst > skipLast).
std::vector<Piece> piecesToWrite(const ImageHeader& header, const u8* bytes, u32 sectorSize, u64 skipFirst,
                                 u64 skipLast) {
  std::vector<Piece> pieces;
  u64 offset = header.firstRunOffset;
  for (u32 i = 0; i < header.runCount; ++i) {
    const u32 firstSector = readLE32(bytes + offset);
    const u32 numSectors = readLE32(bytes + offset + 4);
    offset += image::RUN_HEADER_SIZE;
    const u64 end = u64(firstSector) + numSectors;
    const auto add = [&](u64 from, u64 to) {
      if (from >= to) return;
      pieces.push_back({static_cast<u32>(from), static_cast<u32>(to - from), offset + (from - firstSector) * sectorSize});
    };
    if (skipFirst > skipLast || skipLast < firstSector || skipFirst >= end) {
      add(firstSector, end);
    } else {
      add(firstSector, std::max<u64>(firstSector, skipFirst));
      add(std::min(end, skipLast + 1), end);
    }
    offset += u64(numSectors) * sectorSize;
  }
  return pieces;
}

}  // namespace

void writeImageFileToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                          const vrk::String& imagePath, ImagingThreadData& data) {
  static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
  VRK_TRACE(logger, "writeImageFileToDisk");
  if (data.wholeDrive) throw VantorException("Currently an unsupported feature");

  const u32 sectorSize = disk.getSectorSize();
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
  u64 highestUsed = checkImageRuns(header, file.data(), file.size(), sectorSize, imagePath);
  std::unique_ptr<ImageSumsCheck> sums;
  if (data.checksums) {
    sums = std::make_unique<ImageSumsCheck>(imagePath);
    sums->require();
  }
  const u64 driveSectors = fullSectorCount(disk);
  // Covering every volume, a GPT's backup table is left out and made anew at the
  // target's own end, which must leave room for it after the last partition.
  const boost::optional<GptLayout> gpt = data.everyVolume ? soundGptOf(ImageDisk(imagePath)) : boost::none;
  const bool movesGpt = gpt.has_value();
  u64 skipFirst = 1, skipLast = 0;
  if (gpt) {
    skipFirst = gpt->alternateSector - gpt->entriesSectors;
    skipLast = gpt->alternateSector;
    u64 lastPartitionSector = 0;
    for (const GptPartition& p : gpt->partitions) lastPartitionSector = std::max(lastPartitionSector, p.lastSector);
    if (lastPartitionSector + gpt->entriesSectors + 1 >= driveSectors) {
      throw VantorException(
          ERR_VOLUME_TOO_LARGE,
          vrk::SprintfFormat("The drive is too small for the image's partitions and the GPT's backup table.\n"
                             "   Last Partition Sector: %08I64Xh\n   Backup Table Sectors:  %I64u\n"
                             "   Highest Drive Sector:  %08I64Xh\n",
                             lastPartitionSector, gpt->entriesSectors + 1, driveSectors - 1));
    }
  }
  const std::vector<Piece> pieces = piecesToWrite(header, file.data(), sectorSize, skipFirst, skipLast);
  u64 totalSectors = 0;
  for (const Piece& piece : pieces) totalSectors += piece.numSectors;
  if (movesGpt) {
    highestUsed = 0;
    for (const Piece& piece : pieces) highestUsed = std::max(highestUsed, u64(piece.firstSector) + piece.numSectors - 1);
  } else {
    totalSectors = header.totalSectors;
  }
  if (!pieces.empty() && highestUsed >= driveSectors) {
    throw VantorException(
        ERR_VOLUME_TOO_LARGE,
        vrk::SprintfFormat("Image holds used sectors beyond the drive capacity.\n   Highest Used Sector:   %08I64Xh\n"
                           "   Highest Drive Sector:  %08I64Xh\n",
                           highestUsed, driveSectors - 1));
  }

  refuseIfWriteProtected(disk);
  if (!disk.dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);

  // From here until it is joined, only the drive thread touches the drive: it writes each
  // chunk (and reads it back and compares it) while the worker copies the chunks after it
  // out of the image and reports those done.
  file.adviseSequential();
  ChunkRing ring(3, chunkRingSlots(data, STREAMING_SLOTS), std::size_t(image::CHUNK_SECTORS) * sectorSize);
  DriveThread drive(ring, 1, [&disk, &ring, &engine, sectorSize, verify = data.verify] {
    writeChunks(disk, ring, *engine, sectorSize, verify);
  });
  u64 done = 0;
  u64 copied = 0;    // chunks handed to the drive thread
  u64 reported = 0;  // chunks reported done
  u64 releasedUpTo = 0;  // image bytes before this offset have left the process
  // Reports the next chunk the drive thread is through with: its failure ends the restore.
  const auto reportDone = [&](u64 sequence) {
    ChunkRing::Slot& slot = ring.slot(sequence);
    if (slot.failure) std::rethrow_exception(slot.failure);
    done += slot.count;
    ++reported;
    engine->notifyProgress(percentOf(done, totalSectors));
    ring.pass(2);  // after the report: its slot takes the next chunk, which is tested for an abort
  };
  const auto stoppedEarly = [&] {
    drive.join();
    engine->throwIfAbortRequested();
    return VantorException(ERR_GENERAL, "The restore's drive thread stopped early");
  };
  for (const Piece& piece : pieces) {
    forEachChunk(piece.firstSector, piece.numSectors, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      // Reports what the drive thread is through with until a slot is free for this chunk.
      for (;;) {
        engine->throwIfAbortRequested();
        const auto step = ring.next(2, 0);
        if (!step) throw stoppedEarly();  // the drive thread saw the abort
        if (step->first == 2) {
          reportDone(step->second);
          continue;
        }
        ChunkRing::Slot& slot = ring.slot(step->second);
        const u64 chunkOffset = piece.dataOffset + u64(lba - piece.firstSector) * sectorSize;
        const std::size_t bytes = std::size_t(count) * sectorSize;
        if (sums && !sums->through(chunkOffset + bytes)) sums->require();
        std::memcpy(slot.data.get(), file.data() + chunkOffset, bytes);
        slot.lba = lba;
        slot.count = count;
        slot.failure = nullptr;
        ++copied;
        ring.pass(0);
        if (chunkOffset + bytes - releasedUpTo >= RELEASE_STEP) {
          file.adviseDone(releasedUpTo, chunkOffset + bytes - releasedUpTo);
          releasedUpTo = chunkOffset + bytes;
        }
        return;
      }
    });
  }
  ring.end(0);
  if (sums && !sums->through(file.size())) sums->require();  // chunks the restore leaves out
  // The last abort test is the drive thread's, before it writes the last chunk: once that
  // is written, the restore ends as a success.
  while (reported < copied) {
    const boost::optional<u64> sequence = ring.next(2);
    if (!sequence) throw stoppedEarly();
    reportDone(*sequence);
  }
  drive.join();
  if (movesGpt) relocateGptBackup(disk);
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

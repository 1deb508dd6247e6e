// Writing an image file back onto a drive, optionally verifying every chunk.
//
// Once the image is checked and the drive dismounted, a drive thread writes the chunks
// (and with verify reads each back and compares it before the next, as ever, so that
// nothing is written past a chunk that failed) while the worker copies the chunks out of
// the image, mapped and advised sequential so that the system reads it ahead, and
// reports each chunk the drive thread is through with, in order. With a ring of one slot
// a chunk is written only once the one before was reported, so an abort asked from a
// notification stops the restore before the next write; a larger ring (streaming) lets
// the worker copy ahead while the drive writes neighbouring chunks in requests of up to
// 4 MiB, and with verify writes a window of chunks, then reads the window back in
// requests as large, while the worker copies the next. A failure names its chunk as ever.
//
// Sector 0 goes on the drive last: the chunk that holds it is written (and verified)
// without it, and sector 0 is written (and verified) once every other sector of the image
// is, and a GPT's backup moved. A system that reads the table while the restore
// still writes (Windows does on a write to sector 0) thus finds either the old table or
// the whole new image under the new one. A restore that fails or is aborted before its
// end leaves sector 0, and with it the old table, as it was.
//
// A compressed image (ImageBytes) has every frame's headers checked before the drive is
// touched, and its frames decompressed as the worker copies the chunks out of it; a frame
// found damaged ends the restore there, sector 0 unwritten. With checksums the check
// reads the image through the same frames, so each is decompressed once.
//
// With checksums, the image's header and run table are held against its checksum file
// before the drive is touched, and each chunk before it is handed to the drive thread.
//
// A raw source (a disk whose sectors lie as on a drive) goes through the same engine:
// its map (RawSourcePlan) becomes the list of pieces, and the worker reads each chunk
// from the source where it would copy it out of an image. So does a compressed one
// (CompressedStream): one piece from sector 0, decompressed chunk by chunk, that ends
// where the stream does.
#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/CompressedReader.h>
#include <libVantor/internal/CompressedStream.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/WriteSafety.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveThread.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/GptLayout.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/ImageBytes.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/ImageSumsCheck.h>
#include <libVantor/internal/RawSourcePlan.h>
#include <libVantor/LittleEndian.h>
#include <vrk/Files.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

// Chunk buffers between the worker and the drive thread when the drive may run ahead:
// 8 MiB of them, so that the drive writes whole requests while the worker copies more.
constexpr std::size_t STREAMING_BYTES = 8u << 20;
// With verify, the drive thread writes a window of this many bytes of chunks, then reads
// it back, while the worker copies the next window into the other half of the ring.
constexpr std::size_t WINDOW_BYTES = 4u << 20;

std::exception_ptr chunkFailure(VantorErrorCodes code, const char* format, u32 lba) {
  return std::make_exception_ptr(VantorException(code, vrk::SprintfFormat(format, lba)));
}
constexpr const char* WRITE_FAILED = "Error writing sector chunk starting at LBA %08Xh";
constexpr const char* READ_BACK_FAILED = "Error reading sector chunk starting at LBA %08Xh";
constexpr const char* MISMATCH = "Data mismatch during verification of sector chunk starting at LBA %08Xh";

// Writes `count` sectors at `first` from `data`, and with `readBuffer` reads them back and
// compares them; a failure names the chunk starting at `chunkLba`.
void writeAndVerify(IDisk& disk, u32 first, const u8* data, u32 count, u32 sectorSize, u8* readBuffer, u32 chunkLba) {
  if (count == 0) return;
  if (!disk.writeSectors(first, data, count)) std::rethrow_exception(chunkFailure(ERR_DISK_ACCESS, WRITE_FAILED, chunkLba));
  if (!readBuffer) return;
  if (!disk.readSectors(first, readBuffer, count)) {
    std::rethrow_exception(chunkFailure(ERR_DISK_ACCESS, READ_BACK_FAILED, chunkLba));
  }
  if (std::memcmp(data, readBuffer, std::size_t(count) * sectorSize) != 0) {
    std::rethrow_exception(chunkFailure(ERR_VERIFY_MISMATCH, MISMATCH, chunkLba));
  }
}

// Writes (and with `readBuffer` verifies) the chunk in `slot` on its own; the chunk that
// holds sector 0 without it, which is kept in `sectorZero` (which then holds a value)
// for the restore to write last. A failure lands in the slot.
void writeOneChunk(IDisk& disk, ChunkRing::Slot& slot, u32 sectorSize, u8* readBuffer,
                   boost::optional<DiskBufferPointer>& sectorZero) {
  try {
    const u32 held = slot.lba == 0 ? 1 : 0;
    if (held) {
      sectorZero.emplace(sectorSize);
      std::memcpy(sectorZero->get(), slot.data.get(), sectorSize);
    }
    writeAndVerify(disk, slot.lba + held, slot.data.get() + std::size_t(held) * sectorSize, slot.count - held,
                   sectorSize, readBuffer, slot.lba);
  } catch (...) {
    slot.failure = std::current_exception();
  }
}

// The drive thread's part (stage 1): writes each chunk the worker copied into the ring,
// and with `verify` reads it back and compares it, before the next. Stops at the first
// chunk that fails, with its failure in its slot, and before a chunk once an abort was
// asked for.
void writeChunks(IDisk& disk, ChunkRing& ring, const DiskImagerImp& engine, u32 sectorSize, bool verify,
                 boost::optional<DiskBufferPointer>& sectorZero) {
  boost::optional<DiskBufferPointer> readBuffer;
  if (verify) readBuffer.emplace(u64(image::CHUNK_SECTORS) * sectorSize);
  for (;;) {
    const boost::optional<u64> sequence = ring.next(1);
    // Tested once the chunk is there: with one slot, that is after the one before was reported.
    if (!sequence || engine.state == DiskImagerImp::IMAGER_ABORTED) return;
    ChunkRing::Slot& slot = ring.slot(*sequence);
    writeOneChunk(disk, slot, sectorSize, readBuffer ? readBuffer->get() : nullptr, sectorZero);
    const bool failed = slot.failure != nullptr;
    ring.pass(1);
    if (failed) return;
  }
}

// Moves the `n` chunks from `first` on, which the drive thread holds, in requests of
// neighbouring chunks (see chunksOfOneRequest): written from their slots, or with
// `readBack` read into it (chunk i at i chunks from its start). Answers the index of the
// first chunk that failed, `n` when none did; what the drive threw is that chunk's
// failure, in `thrown`.
std::size_t transferChunks(IDisk& disk, ChunkRing& ring, u64 first, std::size_t n, u32 sectorSize, u8* readBack,
                           std::exception_ptr& thrown) {
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * sectorSize;
  for (std::size_t i = 0; i < n;) {
    const std::size_t group = chunksOfOneRequest(ring, first + i, n - i, image::CHUNK_SECTORS, sectorSize);
    const u32 lba = ring.slot(first + i).lba;
    u32 sectors = 0;
    for (std::size_t k = 0; k < group; ++k) sectors += ring.slot(first + i + k).count;
    u32 done = 0;
    try {
      done = readBack ? disk.readSectorsInPieces(lba, readBack + i * chunkBytes, sectors, image::CHUNK_SECTORS)
                      : disk.writeSectorsInPieces(lba, ring.slot(first + i).data.get(), sectors,
                                                  image::CHUNK_SECTORS);
    } catch (...) {
      thrown = std::current_exception();
      return i;
    }
    if (done < sectors) return i + done / image::CHUNK_SECTORS;
    i += group;
  }
  return n;
}

// The drive thread's part of a streaming restore (stage 1 of a ring of many slots): the
// chunks there for it go out in requests of up to DRIVE_REQUEST_BYTES; with `verify`, a
// window of them is written, then read back in requests as large and compared, and only
// then passed on (so a chunk is reported once it is verified). The failure of the first
// chunk that failed, taken in order as a chunk-by-chunk restore would meet it (its write,
// its read-back, its comparison), lands in its slot and the thread stops there; an abort
// is honoured before each request, or with `verify` before each window. The chunk that
// holds sector 0 goes alone, as writeOneChunk writes it.
void writeChunkRequests(IDisk& disk, ChunkRing& ring, const DiskImagerImp& engine, u32 sectorSize, bool verify,
                        boost::optional<DiskBufferPointer>& sectorZero) {
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * sectorSize;
  const std::size_t windowChunks =
      verify ? std::max<std::size_t>(1, std::min(ring.slotCount() / 2, WINDOW_BYTES / chunkBytes)) : 0;
  boost::optional<DiskBufferPointer> readBack;
  if (verify) readBack.emplace(windowChunks * chunkBytes);
  const std::size_t requestChunks = std::max<std::size_t>(1, DRIVE_REQUEST_BYTES / chunkBytes);
  for (;;) {
    const boost::optional<u64> first = ring.nextBatch(1, verify ? windowChunks : requestChunks);
    if (!first || engine.state == DiskImagerImp::IMAGER_ABORTED) return;
    if (ring.slot(*first).lba == 0) {
      ChunkRing::Slot& slot = ring.slot(*first);
      writeOneChunk(disk, slot, sectorSize, readBack ? readBack->get() : nullptr, sectorZero);
      const bool failed = slot.failure != nullptr;
      ring.pass(1);
      if (failed) return;
      continue;
    }
    const std::size_t ready = std::max<std::size_t>(1, ring.ready(1));
    const std::size_t n = verify ? std::min(ready, windowChunks)
                                 : chunksOfOneRequest(ring, *first, ready, image::CHUNK_SECTORS, sectorSize);
    std::exception_ptr thrown;
    const std::size_t writeFailed = transferChunks(disk, ring, *first, n, sectorSize, nullptr, thrown);
    std::size_t failed = writeFailed;  // the first chunk that failed; n when none
    if (writeFailed < n) {
      ring.slot(*first + writeFailed).failure =
          thrown ? thrown : chunkFailure(ERR_DISK_ACCESS, WRITE_FAILED, ring.slot(*first + writeFailed).lba);
    }
    if (verify) {
      // The chunks written are read back; one of them that fails comes before the write that failed.
      std::exception_ptr readThrown;
      const std::size_t readFailed = transferChunks(disk, ring, *first, writeFailed, sectorSize, readBack->get(), readThrown);
      for (std::size_t i = 0; i < writeFailed; ++i) {
        ChunkRing::Slot& slot = ring.slot(*first + i);
        if (i == readFailed) {
          slot.failure = readThrown ? readThrown : chunkFailure(ERR_DISK_ACCESS, READ_BACK_FAILED, slot.lba);
        } else if (std::memcmp(slot.data.get(), readBack->get() + i * chunkBytes, std::size_t(slot.count) * sectorSize) !=
                   0) {
          slot.failure = chunkFailure(ERR_VERIFY_MISMATCH, MISMATCH, slot.lba);
        } else {
          continue;
        }
        failed = i;
        break;
      }
    }
    for (std::size_t i = 0; i < n && i <= failed; ++i) ring.pass(1);
    if (failed < n) return;
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
std::vector<Piece> piecesToWrite(const ImageHeader& header, const ImageBytes& bytes, u32 sectorSize, u64 skipFirst,
                                 u64 skipLast) {
  std::vector<Piece> pieces;
  u64 offset = header.firstRunOffset;
  for (u32 i = 0; i < header.runCount; ++i) {
    u8 record[image::RUN_HEADER_SIZE];
    bytes.read(offset, record, sizeof record);
    const u32 firstSector = readLE32(record);
    const u32 numSectors = readLE32(record + 4);
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

// What a restore writes: stretches of sectors with where their data lies in the source,
// and how many sectors they make (what progress counts).
struct RestorePlan {
  std::vector<Piece> pieces;
  u64 totalSectors = 0;
  bool movesGpt = false;  // a GPT's backup table is made anew at the drive's end
  // A stream's GPT, once written, has its backup moved to the drive's end when it lies
  // before it and the table is sound.
  bool movesWrittenGpt = false;
  // The percentage once `done` sectors were written, when not done of totalSectors.
  std::function<unsigned char(u64 done)> progress;
};

// Puts the `count` sectors from `lba` of `piece` into `into` and answers how many it
// put there: fewer only where the source ends, which ends the restore there. Throws to
// end the restore.
using PieceCopy = std::function<u32(const Piece& piece, u32 lba, u32 count, u8* into)>;

// Whether the GPT written on `disk` has its backup before the drive's last sector; a
// sector 1 that is no GPT header does not.
bool writtenGptEndsEarly(IDisk& disk) {
  DiskBufferPointer header(disk.getSectorSize());
  return disk.readSectors(1, header.get(), 1) && isGptHeader(header.get(), disk.getSectorSize()) &&
         gptAlternateSector(header.get()) + 1 < fullSectorCount(disk);
}

// The restore proper, once every check has passed: dismounts the drive, writes (and with
// verify compares) the plan's pieces chunk by chunk through the drive thread, sector 0
// last, moves a GPT's backup, calls onImageWritten and mounts the drive again.
// `afterLastCopy`, when set, runs once every chunk was copied.
void writePieces(std::shared_ptr<DiskImagerImp>& engine, IDisk& disk, ImagingThreadData& data,
                 const RestorePlan& plan, const PieceCopy& copy, const std::function<void()>& afterLastCopy) {
  const u32 sectorSize = disk.getSectorSize();
  if (!disk.dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);

  // From here until it is joined, only the drive thread touches the drive: it writes each
  // chunk (and reads it back and compares it) while the worker copies the chunks after it
  // out of the image and reports those done.
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * sectorSize;
  // Streaming with verify, the ring holds two windows: one the drive thread writes and
  // reads back, one the worker fills.
  const std::size_t streamingSlots =
      std::max<std::size_t>(2, (data.verify ? WINDOW_BYTES * 2 : STREAMING_BYTES) / chunkBytes);
  ChunkRing ring(3, chunkRingSlots(data, streamingSlots), chunkBytes);
  boost::optional<DiskBufferPointer> sectorZero;  // the image's sector 0, once the drive thread has it
  DriveThread drive(ring, 1, [&disk, &ring, &engine, &sectorZero, sectorSize, verify = data.verify] {
    if (ring.slotCount() == 1) return writeChunks(disk, ring, *engine, sectorSize, verify, sectorZero);
    writeChunkRequests(disk, ring, *engine, sectorSize, verify, sectorZero);
  });
  u64 done = 0;
  u64 copied = 0;    // chunks handed to the drive thread
  u64 reported = 0;  // chunks reported done
  // Reports the next chunk the drive thread is through with: its failure ends the restore.
  const auto reportDone = [&](u64 sequence) {
    ChunkRing::Slot& slot = ring.slot(sequence);
    if (slot.failure) std::rethrow_exception(slot.failure);
    done += slot.count;
    ++reported;
    engine->notifyProgress(plan.progress ? plan.progress(done) : percentOf(done, plan.totalSectors));
    ring.pass(2);  // after the report: its slot takes the next chunk, which is tested for an abort
  };
  const auto stoppedEarly = [&] {
    drive.join();
    engine->throwIfAbortRequested();
    return VantorException(ERR_GENERAL, "The restore's drive thread stopped early");
  };
  bool sourceEnded = false;
  for (const Piece& piece : plan.pieces) {
    forEachChunk(piece.firstSector, piece.numSectors, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      if (sourceEnded) return;
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
        const u32 filled = copy(piece, lba, count, slot.data.get());
        sourceEnded = filled < count;
        if (filled == 0) return;
        slot.lba = lba;
        slot.count = filled;
        slot.failure = nullptr;
        ++copied;
        ring.pass(0);
        return;
      }
    });
  }
  ring.end(0);
  if (afterLastCopy) afterLastCopy();
  // The last abort test is the drive thread's, before it writes the last chunk: once that
  // is written, the restore ends as a success.
  while (reported < copied) {
    const boost::optional<u64> sequence = ring.next(2);
    if (!sequence) throw stoppedEarly();
    reportDone(*sequence);
  }
  drive.join();
  if (plan.movesGpt) relocateGptBackup(disk, sectorZero ? sectorZero->get() : nullptr);
  if (plan.movesWrittenGpt && writtenGptEndsEarly(disk)) {
    try {
      relocateGptBackup(disk, sectorZero ? sectorZero->get() : nullptr);
    } catch (const VantorException& error) {
      // A table the stream holds damaged, or too large for the drive, stays as written.
      if (error.getErrorCode() != ERR_UNSUPPORTED_FILE_SYSTEM && error.getErrorCode() != ERR_VOLUME_EXCEEDS_DRIVE) {
        throw;
      }
    }
  }
  if (sectorZero) {
    boost::optional<DiskBufferPointer> readBuffer;
    if (data.verify) readBuffer.emplace(sectorSize);
    writeAndVerify(disk, 0, sectorZero->get(), 1, sectorSize, readBuffer ? readBuffer->get() : nullptr, 0);
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

}  // namespace

void writeImageFileToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                          const vrk::String& imagePath, ImagingThreadData& data) {
  static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
  VRK_TRACE(logger, "writeImageFileToDisk");
  if (data.wholeDrive) throw VantorException("Currently an unsupported feature");
  WriteSafety::refuseImageOnTarget(imagePath, disk, true);
  WriteSafety::refuseUnsafeWrites(disk);  // first: a system drive is refused whatever the image

  const u32 sectorSize = disk.getSectorSize();
  const std::shared_ptr<const ImageBytes> shared =
      data.compressed ? data.compressed->group().image() : std::make_shared<const ImageBytes>(imagePath);
  const ImageBytes& file = *shared;
  if (file.size() < image::HEADER_SIZE) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
  }
  u8 headerBytes[image::HEADER_SIZE];
  file.read(0, headerBytes, sizeof headerBytes);
  const ImageHeader header = parseImageHeader(headerBytes);
  if (header.sectorSize != sectorSize) {  // the file may have changed since the start checked it
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          vrk::String("Image file and device are incompatible. ") +
                              vrk::SprintfFormat("Image uses %u byte sectors, whereas device uses %u byte sectors.",
                                                 header.sectorSize, sectorSize));
  }
  // A damaged file is refused before the drive is touched.
  u64 highestUsed = checkImageRuns(header, file, sectorSize, imagePath);
  file.checkEveryFrame();
  std::unique_ptr<ImageSumsCheck> sums;
  if (data.checksums) {
    sums = std::make_unique<ImageSumsCheck>(imagePath, shared);
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
    requireRoomForGptBackup(*gpt, driveSectors, "image's");
  }
  const std::vector<Piece> pieces = piecesToWrite(header, file, sectorSize, skipFirst, skipLast);
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

  file.adviseSequential();
  const PieceCopy copyFromImage = [&](const Piece& piece, u32 lba, u32 count, u8* into) {
    const u64 chunkOffset = piece.dataOffset + u64(lba - piece.firstSector) * sectorSize;
    const std::size_t bytes = std::size_t(count) * sectorSize;
    if (sums && !sums->through(chunkOffset + bytes)) sums->require();
    file.readingAt(chunkOffset);
    file.read(chunkOffset, into, bytes);  // a damaged frame of a compressed image ends the restore here
    return count;
  };
  const auto checkLeftOut = [&] {
    if (sums && !sums->through(file.size())) sums->require();  // chunks the restore leaves out
  };
  RestorePlan plan;
  plan.pieces = pieces;
  plan.totalSectors = totalSectors;
  plan.movesGpt = movesGpt;
  writePieces(engine, disk, data, plan, copyFromImage, checkLeftOut);
}

void writeDiskToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk, const vrk::String&,
                     ImagingThreadData& data) {
  static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
  VRK_TRACE(logger, "writeDiskToDisk");
  IDisk& source = *data.source;
  refuseSourceOnTarget(source, disk);
  WriteSafety::refuseUnsafeWrites(disk);  // first: a system drive is refused whatever the source
  const RawSourcePlan raw = planRawSource(source, disk, data.everySector, data.allowVolumeBeyondDrive);
  RestorePlan plan;
  for (const SectorRange& run : raw.runs) plan.pieces.push_back({run.firstSector, run.numSectors, 0});
  plan.totalSectors = raw.totalSectors;
  plan.movesGpt = raw.movesGpt;
  const PieceCopy copyFromSource = [&source](const Piece&, u32 lba, u32 count, u8* into) {
    if (!source.readSectors(lba, into, count)) {
      throw VantorException(ERR_DISK_ACCESS,
                            vrk::SprintfFormat("Error reading source sector chunk starting at LBA %08Xh", lba));
    }
    return count;
  };
  writePieces(engine, disk, data, plan, copyFromSource, nullptr);
}

u64 checkCompressedSource(const vrk::String& path, IDisk& disk, bool forWriting) {
  if (forWriting) WriteSafety::refuseImageOnTarget(path, disk, true);
  CompressedStream stream(path);
  u8 start[image::HEADER_SIZE] = {};
  const std::size_t got = stream.read(start, sizeof start);  // a damaged start fails here
  if (got == 0) throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\" holds nothing once decompressed");
  if (got == sizeof start &&
      std::memcmp(start + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE) == 0) {
    // A compressed capture always ends with its seek table: one without it was cut short.
    const char* cut = stream.kind() == CompressedStream::ZSTD
                          ? " without the seek table a compressed capture ends with (is the file cut short?)"
                          : "";
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\" holds a captured image" + cut +
                                                      ": decompress it, then write that");
  }
  const u32 sectorSize = disk.getSectorSize();
  const u64 sectors = (stream.leastSize() + sectorSize - 1) / sectorSize;
  if (sectors > fullSectorCount(disk)) {
    throw VantorException(ERR_VOLUME_TOO_LARGE,
                          vrk::SprintfFormat("The disk image is larger than the drive.\n   Image Sectors:         %I64u\n"
                                             "   Drive Sectors:         %I64u\n",
                                             sectors, fullSectorCount(disk)));
  }
  return stream.size().value_or(0);
}

void writeStreamToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                       const vrk::String& path, ImagingThreadData& data) {
  static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
  VRK_TRACE(logger, "writeStreamToDisk");
  WriteSafety::refuseUnsafeWrites(disk);  // first: a system drive is refused whatever the source
  CompressedReader stream(data.compressed, path, *engine, data.statedBytes, disk);
  RestorePlan plan;
  plan.pieces.push_back({0, stream.sectors(), 0});
  plan.totalSectors = stream.sectors();
  plan.movesWrittenGpt = true;
  plan.progress = stream.progress();
  const PieceCopy copyFromStream = [&stream](const Piece&, u32, u32 count, u8* into) {
    return stream.readSectors(into, count);
  };
  const auto checkEnd = [&stream] { stream.requireEnd(ERR_VOLUME_TOO_LARGE); };
  writePieces(engine, disk, data, plan, copyFromStream, checkEnd);
}

}  // namespace vantor

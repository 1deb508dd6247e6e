// Comparing a drive with an image file, chunk by chunk, without writing anything.
//
// A drive thread reads the drive's chunks into a ring while the worker copies the same
// chunks out of the image and compares them; with a ring of one slot a chunk is read,
// one 256-sector request each, only once the one before was reported; with a larger one
// (streaming) the drive is read in requests of up to 4 MiB while the image is. The worker takes the chunks in order and
// fails on the first one as a plain loop would: the image's chunk first, then the
// drive's read, then the comparison; an abort is honoured at the next chunk. With
// checksums, the image's header and run table are held against its checksum file before
// the drive is read, and each chunk of the image before it is compared. A raw source is
// compared the same way, over its map (RawSourcePlan), read from the source chunk by chunk,
// and a compressed one from sector 0 as far as its stream goes.
#include <algorithm>
#include <cstring>
#include <functional>

#include <libVantor/ImageDisk.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/CompressedReader.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveChunkReads.h>
#include <libVantor/internal/DriveThread.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/ImageBytes.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/ImageSumsCheck.h>
#include <libVantor/internal/RawSourcePlan.h>

namespace vantor {
namespace {

// Chunk buffers between the drive thread and the worker when the drive may run ahead:
// 8 MiB of them, so that the drive thread reads whole requests (see readDriveChunks)
// while the worker compares the ones before.
constexpr std::size_t STREAMING_BYTES = 8u << 20;

// Puts the `count` sectors from `lba` of the run at `run` into `into`: the data the drive
// is to hold there; answers how many, fewer only where the source ends, which ends the
// comparison there. Throws to end the verify.
using ExpectedRead = std::function<u32(std::size_t run, u32 lba, u32 count, u8* into)>;

// The comparison proper: the drive's sectors of `runs` (`total` of them) with what
// `readExpected` gives, chunk by chunk, through the drive thread.
void compareRuns(std::shared_ptr<DiskImagerImp>& engine, IDisk& disk, ImagingThreadData& data, const SectorMap& runs,
                 u64 total, const ExpectedRead& readExpected,
                 const std::function<unsigned char(u64 done)>& progress = nullptr) {
  const u32 sectorSize = disk.getSectorSize();
  DiskBufferPointer expected(u64(image::CHUNK_SECTORS) * sectorSize);
  // From here until it is joined, only the drive thread touches the drive.
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * sectorSize;
  ChunkRing ring(2, chunkRingSlots(data, std::max<std::size_t>(2, STREAMING_BYTES / chunkBytes)), chunkBytes);
  DriveThread drive(ring, 0, [&disk, &runs, &ring, &engine] { readDriveChunks(disk, runs, ring, *engine); });
  u64 done = 0;
  bool sourceEnded = false;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const SectorRange& run = runs[r];
    forEachChunk(run.firstSector, run.numSectors, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      if (sourceEnded) return;
      engine->throwIfAbortRequested();
      const u32 filled = readExpected(r, lba, count, expected.get());
      sourceEnded = filled < count;
      if (filled == 0) return;
      count = filled;
      const boost::optional<u64> sequence = ring.next(1);
      if (!sequence) {
        // The drive thread stopped before this chunk: it saw the abort.
        drive.join();
        engine->throwIfAbortRequested();
        throw VantorException(ERR_GENERAL, "The verification's drive thread stopped early");
      }
      ChunkRing::Slot& slot = ring.slot(*sequence);
      if (slot.failure) std::rethrow_exception(slot.failure);
      if (std::memcmp(expected.get(), slot.data.get(), std::size_t(count) * sectorSize) != 0) {
        throw VantorException(
            ERR_VERIFY_MISMATCH,
            vrk::SprintfFormat("Data mismatch during verification of sector chunk starting at LBA %08Xh", lba));
      }
      done += count;
      engine->notifyProgress(progress ? progress(done) : percentOf(done, total));
      ring.pass(1);  // after the report: the drive thread tests for an abort before its next read
    });
  }
  if (sourceEnded) ring.cancel();  // the drive thread may have read further
  drive.join();
}

}  // namespace

void verifyDiskAgainstImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                            const vrk::String& imagePath, ImagingThreadData& data) {
  const ImageDisk image(imagePath);  // refused here as restore refuses a damaged image
  // The runs' data is copied out of an opening of this verify's own (or its group's),
  // read ahead of the chunks and let go behind them.
  const std::shared_ptr<const ImageBytes> shared =
      data.compressed ? data.compressed->group().image() : std::make_shared<const ImageBytes>(imagePath);
  const ImageBytes& file = *shared;
  file.checkEveryFrame();
  const u32 sectorSize = disk.getSectorSize();
  if (image.getSectorSize() != sectorSize) {
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          vrk::String("Image file and device are incompatible. ") +
                              vrk::SprintfFormat("Image uses %u byte sectors, whereas device uses %u byte sectors.",
                                                 image.getSectorSize(), sectorSize));
  }
  std::unique_ptr<ImageSumsCheck> sums;
  if (data.checksums) {
    sums = std::make_unique<ImageSumsCheck>(imagePath, shared);
    sums->require();
  }
  // Covering every volume, a GPT's backup table is the drive's own (made at its end by
  // the restore) and is not held against the image's.
  const boost::optional<GptLayout> gpt = data.everyVolume ? soundGptOf(image) : boost::none;
  SectorMap runs;
  std::vector<u64> fileOffsets;  // of each entry of `runs`: where its first sector lies in the image
  u64 total = 0;
  for (const ImageDisk::Run& run : image.getRuns()) {
    const u64 end = u64(run.firstSector) + run.sectorCount;
    const auto add = [&](u64 from, u64 to) {
      if (from >= to) return;
      runs.append(makeSectorRange(static_cast<u32>(from), static_cast<u32>(to - from), sectorSize));
      fileOffsets.push_back(run.fileOffset + (from - run.firstSector) * sectorSize);
      total += to - from;
    };
    if (!gpt) {
      add(run.firstSector, end);
      continue;
    }
    const u64 skipFirst = gpt->alternateSector - gpt->entriesSectors, skipLast = gpt->alternateSector;
    add(run.firstSector, std::min(end, std::max<u64>(run.firstSector, skipFirst)));
    add(std::max<u64>(run.firstSector, std::min(end, skipLast + 1)), end);
  }
  if (!gpt) total = image.getTotalSectors();
  file.adviseSequential();
  const ExpectedRead readImage = [&](std::size_t r, u32 lba, u32 count, u8* into) {
    const u64 at = fileOffsets[r] + u64(lba - runs[r].firstSector) * sectorSize;
    const u64 bytes = u64(count) * sectorSize;
    if (sums && !sums->through(at + bytes)) sums->require();
    if (at + bytes > file.size()) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
    }
    file.readingAt(at);
    file.read(at, into, static_cast<std::size_t>(bytes));  // a damaged frame of a compressed image ends the verify here
    return count;
  };
  compareRuns(engine, disk, data, runs, total, readImage);
  if (sums && !sums->through(image.getImageSize())) sums->require();  // chunks the verify leaves out
}

void verifyDiskAgainstDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                           const vrk::String&, ImagingThreadData& data) {
  const IDisk& source = *data.source;
  const RawSourcePlan plan = planRawSource(*data.source, disk, data.everySector, data.allowVolumeBeyondDrive);
  const ExpectedRead readSource = [&source](std::size_t, u32 lba, u32 count, u8* into) {
    if (!source.readSectors(lba, into, count)) {
      throw VantorException(ERR_DISK_ACCESS,
                            vrk::SprintfFormat("Error reading source sector chunk starting at LBA %08Xh", lba));
    }
    return count;
  };
  compareRuns(engine, disk, data, plan.runs, plan.totalSectors, readSource);
}

void verifyDiskAgainstStream(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                             const vrk::String& path, ImagingThreadData& data) {
  CompressedReader stream(data.compressed, path, *engine, data.statedBytes, disk);
  SectorMap runs;
  runs.append(makeSectorRange(0, stream.sectors(), disk.getSectorSize()));
  const ExpectedRead readStream = [&stream](std::size_t, u32, u32 count, u8* into) {
    return stream.readSectors(into, count);
  };
  compareRuns(engine, disk, data, runs, stream.sectors(), readStream, stream.progress());
  stream.requireEnd(ERR_VERIFY_MISMATCH);
}

}  // namespace vantor

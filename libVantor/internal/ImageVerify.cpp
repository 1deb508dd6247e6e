// Comparing a drive with an image file, chunk by chunk, without writing anything.
//
// A drive thread reads the drive's chunks, one 256-sector request each, into a small
// ring while the worker copies the same chunks out of the image and compares them, so
// that the drive is read while the image is. The worker takes the chunks in order and
// fails on the first one as a plain loop would: the image's chunk first, then the
// drive's read, then the comparison; an abort is honoured at the next chunk.
#include <cstring>

#include <libVantor/ImageDisk.h>
#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/DriveThread.h>
#include <libVantor/internal/ImageFormat.h>

namespace vantor {
namespace {

// Chunk buffers between the drive thread and the worker.
constexpr std::size_t RING_SLOTS = 8;

// The drive thread's part (stage 0): reads the image's chunks from the drive in order.
// Stops at the first chunk it cannot read, with that chunk's failure in its slot, and
// before a chunk once an abort was asked for.
void readChunks(IDisk& disk, const std::vector<ImageDisk::Run>& runs, ChunkRing& ring, const DiskImagerImp& engine) {
  for (const ImageDisk::Run& run : runs) {
    bool stop = false;
    forEachChunk(run.firstSector, run.sectorCount, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      if (stop) return;
      if (engine.state == DiskImagerImp::IMAGER_ABORTED) return void(stop = true);
      const boost::optional<u64> sequence = ring.next(0);
      if (!sequence) return void(stop = true);
      ChunkRing::Slot& slot = ring.slot(*sequence);
      slot.lba = lba;
      slot.count = count;
      slot.failure = nullptr;
      try {
        if (!disk.readSectors(lba, slot.data.get(), count)) {
          slot.failure = std::make_exception_ptr(VantorException(
              ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba)));
        }
      } catch (...) {
        slot.failure = std::current_exception();
      }
      stop = slot.failure != nullptr;
      ring.pass(0);
    });
    if (stop) return;
  }
}

}  // namespace

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
  // From here until it is joined, only the drive thread touches the drive.
  ChunkRing ring(2, RING_SLOTS, std::size_t(image::CHUNK_SECTORS) * sectorSize);
  DriveThread drive(ring, 0, [&disk, &image, &ring, &engine] { readChunks(disk, image.getRuns(), ring, *engine); });
  u64 done = 0;
  for (const ImageDisk::Run& run : image.getRuns()) {
    forEachChunk(run.firstSector, run.sectorCount, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      engine->throwIfAbortRequested();
      if (!image.readSectors(lba, expected.get(), count)) {
        throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + imagePath + "\"");
      }
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
      ring.pass(1);
      done += count;
      engine->notifyProgress(percentOf(done, image.getTotalSectors()));
    });
  }
  drive.join();
}

}  // namespace vantor

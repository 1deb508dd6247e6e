#include <libVantor/internal/DriveChunkReads.h>

#include <libVantor/VantorException.h>
#include <libVantor/internal/ImageFormat.h>

namespace vantor {

void readDriveChunks(IDisk& disk, const SectorMap& runs, ChunkRing& ring, const DiskImagerImp& engine) {
  for (const SectorRange& run : runs) {
    bool stop = false;
    forEachChunk(run.firstSector, run.numSectors, image::CHUNK_SECTORS, [&](u32 lba, u32 count) {
      if (stop) return;
      const boost::optional<u64> sequence = ring.next(0);
      // Tested once the slot is free: a slot is let go only after its chunk was reported.
      if (!sequence || engine.state == DiskImagerImp::IMAGER_ABORTED) return void(stop = true);
      ChunkRing::Slot& slot = ring.slot(*sequence);
      slot.lba = lba;
      slot.count = count;
      slot.failure = nullptr;
      slot.removesFile = false;
      try {
        if (!disk.readSectors(lba, slot.data.get(), count)) {
          slot.failure = std::make_exception_ptr(VantorException(
              ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", lba)));
          slot.removesFile = true;
        }
      } catch (...) {
        slot.failure = std::current_exception();  // what the drive threw ends the operation as it is
      }
      stop = slot.failure != nullptr;
      ring.pass(0);
    });
    if (stop) return;
  }
}

}  // namespace vantor

#include <libVantor/internal/DriveChunkReads.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include <libVantor/VantorException.h>
#include <libVantor/internal/ImageFormat.h>

namespace vantor {

void readDriveChunks(IDisk& disk, const SectorMap& runs, ChunkRing& ring, const DiskImagerImp& engine,
                     const KeptReads* kept) {
  const std::size_t chunkBytes = std::size_t(image::CHUNK_SECTORS) * disk.getSectorSize();
  std::size_t run = 0;
  u64 offset = 0;  // within runs[run]
  for (;;) {
    while (run < runs.size() && runs[run].numSectors == 0) ++run;
    if (run == runs.size()) return;
    const boost::optional<u64> first = ring.nextBatch(0, DRIVE_REQUEST_BYTES / chunkBytes);
    // Tested once a slot is free: a slot is let go only after its chunk was reported.
    if (!first || engine.state == DiskImagerImp::IMAGER_ABORTED) return;
    // The free slots take the next chunks of this run, as many as one request moves.
    const std::size_t most =
        std::max<std::size_t>(1, std::min(ring.ready(0), DRIVE_REQUEST_BYTES / chunkBytes));
    const SectorRange& r = runs[run];
    const auto chunkAt = [&r](u64 at) {
      return std::make_pair(static_cast<u32>(r.firstSector + at),
                            static_cast<u32>(std::min<u64>(image::CHUNK_SECTORS, r.numSectors - at)));
    };
    // Gives the run's next chunk to the slot of sequence `at`.
    const auto take = [&](u64 at) -> ChunkRing::Slot& {
      ChunkRing::Slot& slot = ring.slot(at);
      std::tie(slot.lba, slot.count) = chunkAt(offset);
      slot.failure = nullptr;
      slot.removesFile = false;
      offset += slot.count;
      return slot;
    };
    const auto stepPastRunEnd = [&] {
      if (offset < r.numSectors) return;
      ++run;
      offset = 0;
    };
    // A chunk the mapping read already is copied from there, and the drive not asked.
    if (kept && kept->copy(chunkAt(offset).first, chunkAt(offset).second, ring.slot(*first).data.get())) {
      take(*first);
      stepPastRunEnd();
      ring.pass(0);
      continue;
    }
    std::size_t n = 0;
    u32 sectors = 0;
    do {
      sectors += take(*first + n).count;
      ++n;
    } while (n < most && offset < r.numSectors && ring.followsInMemory(*first + n - 1) &&
             !(kept && kept->holds(chunkAt(offset).first, chunkAt(offset).second)));
    stepPastRunEnd();
    const u32 lba = ring.slot(*first).lba;
    u32 read = 0;  // sectors read: every chunk before the one that failed
    std::exception_ptr thrown;
    try {
      if (n == 1) {
        read = disk.readSectors(lba, ring.slot(*first).data.get(), sectors) ? sectors : 0;
      } else {
        read = disk.readSectorsInPieces(lba, ring.slot(*first).data.get(), sectors, image::CHUNK_SECTORS);
      }
    } catch (...) {
      thrown = std::current_exception();  // what the drive threw ends the operation as it is
    }
    bool failed = false;
    for (std::size_t i = 0; i < n && !failed; ++i) {
      ChunkRing::Slot& slot = ring.slot(*first + i);
      if (thrown) {
        slot.failure = thrown;
      } else if (slot.lba - lba >= read) {
        slot.failure = std::make_exception_ptr(VantorException(
            ERR_DISK_ACCESS, vrk::SprintfFormat("Error reading sector chunk starting at LBA %08Xh", slot.lba)));
        slot.removesFile = true;
      }
      failed = slot.failure != nullptr;
      ring.pass(0);
    }
    if (failed) return;
  }
}

}  // namespace vantor

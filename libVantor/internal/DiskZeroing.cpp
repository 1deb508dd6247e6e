// Zeroing a drive, whole or in caller-given sector ranges, on the imaging worker.
// Unlike a capture or a restore it has no file side to overlap with the drive's: the
// writes are all its work, from one buffer of zeros. So it keeps to the worker, one chunk
// after the other, and each chunk's progress is reported before the next chunk is
// written (an observer that aborts from inside a notification stops the writes there).
// Streaming, the chunks go out in requests of up to 4 MiB from a buffer of zeros as
// large, the data filter still seeing each chunk on its own, and each request's chunks
// are reported once it is written.
#include <algorithm>
#include <functional>

#include <libVantor/internal/ChunkRing.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/WriteSafety.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/internal/ImageFormat.h>

namespace vantor {
namespace {

// Zeroes [first, last] of `disk` in chunks of 256 sectors, reporting the progress
// within the range (0..100) after each chunk that leaves sectors behind it.
void zeroSectorRange(IDisk& disk, const DiskImagerImp& engine, u64 first, u64 last, bool streaming,
                     const std::function<void(unsigned char)>& progress) {
  const u32 sectorSize = disk.getSectorSize();
  const u64 chunkBytes = u64(sectorSize) * image::CHUNK_SECTORS;
  const u64 requestChunks = streaming ? std::max<u64>(1, DRIVE_REQUEST_BYTES / chunkBytes) : 1;
  DiskBufferPointer zeros(chunkBytes * requestChunks);
  if (first > 0xFFFFFFFFull || last > 0xFFFFFFFFull) {
    throw VantorException(ERR_GENERAL, "This library can only work with sector offsets that are 32-bit numbers.");
  }
  const u64 sectors = fullSectorCount(disk);
  if (sectors == 0 || first >= sectors || last >= sectors) {
    throw VantorException(ERR_GENERAL, "LBA range beyond end of drive.");
  }
  if (first > last) return;  // an inverted range writes nothing
  const u64 n = last - first + 1;
  u64 s = first;
  u64 k = 0;
  if (requestChunks > 1) {
    while (s <= last) {
      engine.throwIfAbortRequested();
      const u32 sectors = static_cast<u32>(std::min<u64>(requestChunks * image::CHUNK_SECTORS, last - s + 1));
      const u32 written = disk.writeSectorsInPieces(static_cast<u32>(s), zeros.get(), sectors, image::CHUNK_SECTORS);
      // Each chunk written that leaves sectors behind it is reported, as chunk by chunk.
      for (u32 done = 0; done < written && s + image::CHUNK_SECTORS <= last; done += image::CHUNK_SECTORS) {
        progress(static_cast<unsigned char>(k * 25600 / n));
        s += image::CHUNK_SECTORS;
        ++k;
      }
      if (written < sectors) throw VantorException(ERR_DISK_ACCESS, "Failed to write sector block.");
      if (s + image::CHUNK_SECTORS > last) s = last + 1;  // the last chunk, never reported, is written
    }
    return;
  }
  while (s + image::CHUNK_SECTORS <= last) {
    engine.throwIfAbortRequested();
    if (!disk.writeSectors(static_cast<u32>(s), zeros.get(), image::CHUNK_SECTORS)) {
      throw VantorException(ERR_DISK_ACCESS, "Failed to write sector block.");
    }
    progress(static_cast<unsigned char>(k * 25600 / n));
    s += image::CHUNK_SECTORS;
    ++k;
  }
  engine.throwIfAbortRequested();
  if (!disk.writeSectors(static_cast<u32>(s), zeros.get(), static_cast<u32>(last - s + 1))) {
    throw VantorException(ERR_DISK_ACCESS, "Failed to write sector block.");
  }
}

}  // namespace

void zeroDisk(const boost::optional<std::vector<std::pair<u64, u64>>>& ranges, DiskImagerImp& engine, IDisk& disk,
              bool streaming) {
  const u64 sectors = fullSectorCount(disk);
  if (!ranges) refuseWholeDriveBeyondSectorNumbers(disk, "zeroed");
  WriteSafety::refuseUnsafeWrites(disk);
  if (!disk.dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);
  if (!ranges) {
    if (sectors == 0) return (void)disk.mountDrive();  // nothing to zero
    zeroSectorRange(disk, engine, 0, sectors - 1, streaming, [&engine](unsigned char p) { engine.notifyProgress(p); });
  } else {
    const auto sectorsOf = [](const std::pair<u64, u64>& r) { return r.first > r.second ? 0 : r.second - r.first + 1; };
    u64 total = 0;
    for (const auto& r : *ranges) total += sectorsOf(r);
    u64 done = 0;
    for (const auto& r : *ranges) {
      const u64 rangeSectors = sectorsOf(r);
      zeroSectorRange(disk, engine, r.first, r.second, streaming, [&](unsigned char p) {
        const double overall = ((p / 100.0) * static_cast<double>(rangeSectors) + static_cast<double>(done)) /
                               static_cast<double>(total) * 100.0;
        // Inverted pairs count as no sectors at all; keep the figure a percentage.
        engine.notifyProgress(static_cast<unsigned char>(std::min(100.0, std::max(0.0, overall))));
      });
      done += rangeSectors;
    }
  }
  (void)disk.mountDrive();
}

}  // namespace vantor

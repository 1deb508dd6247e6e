#include <libVantor/internal/ExfatVolumeMapper.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/BitmapRuns.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/ExfatLayout.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

using namespace exfat;

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.ExfatVolumeMapper");
  return l;
}

constexpr u64 SECTOR_LIMIT = u64(1) << 32;  // drive LBAs are 32-bit: every sector lies below
constexpr u32 BITMAP_PIECE_BYTES = 1u << 20;     // the largest read of the bitmap
constexpr u32 DIRECTORY_PIECE_BYTES = 1u << 16;  // of the root directory, which ends early
constexpr u32 FAT_WINDOW_BYTES = 1u << 16;       // the part of the FAT read at a time
constexpr u32 WINDOW_SPACE = FAT_WINDOW_BYTES + 4096;  // the window and its disk sectors' slack

VantorException unsupported(u32 volumeStart, const vrk::String& what) {
  return VantorException(ERR_UNSUPPORTED_FILE_SYSTEM,
                         vrk::SprintfFormat("exFAT volume at sector %08Xh: %s", volumeStart, what.c_str()));
}

bool allZero(const u8* p, u32 n) {
  return std::all_of(p, p + n, [](u8 b) { return b == 0; });
}

// Consecutive clusters [first, first + count).
struct Extent {
  u32 first;
  u32 count;
};

// The first cluster that two of `extents` share, or 0.
u32 firstOverlap(std::vector<Extent> extents) {
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < extents.size(); ++i) {
    if (u64(extents[i - 1].first) + extents[i - 1].count > extents[i].first) return extents[i].first;
  }
  return 0;
}

void append(std::vector<Extent>& extents, u32 cluster) {
  if (!extents.empty() && u64(extents.back().first) + extents.back().count == cluster) {
    ++extents.back().count;
  } else {
    extents.push_back({cluster, 1});
  }
}

}  // namespace

bool ExfatVolumeMapper::recognises(const u8* head, std::size_t size) {
  return size >= 512 && std::memcmp(head + BOOT_FILE_SYSTEM_NAME, FILE_SYSTEM_NAME, 8) == 0 &&
         readLE16(head + BOOT_SIGNATURE) == BOOT_SIGNATURE_VALUE &&
         allZero(head + BOOT_MUST_BE_ZERO, BOOT_MUST_BE_ZERO_LENGTH);
}

ExfatVolumeMapper::ExfatVolumeMapper(IDisk& disk_, u32 volumeStartSector_, u64 volumeSectorCount)
    : disk(&disk_), volumeStartSector(volumeStartSector_), diskSectorSize(disk_.getSectorSize()) {
  VRK_TRACE(logger(), "ExfatVolumeMapper constructor");
  const u32 start = volumeStartSector;

  // Pieces of the volume are read as whole disk sectors into buffers whose sizes are
  // multiples of the sector size; sizes outside 512..4096 or not a power of two are not
  // drives this library handles.
  const u32 dss = diskSectorSize;
  if (dss < 512 || dss > 4096 || (dss & (dss - 1)) != 0) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE,
                          vrk::SprintfFormat("exFAT volume at sector %08Xh: disk sectors of %u bytes", start, dss));
  }
  volumeByteStart = u64(start) * dss;
  // Past 2^33 sectors the partition is longer than any volume the checks below accept.
  const u64 partitionBytes = std::min<u64>(volumeSectorCount, SECTOR_LIMIT * 2) * dss;
  if (volumeSectorCount == 0) throw unsupported(start, "the partition is empty");

  DiskBufferPointer buffer(dss, DiskBufferPointer::OnFailure::Empty);
  if (!buffer || !disk->readSectors(start, buffer.get(), 1)) {
    throw VantorException(ERR_DISK_ACCESS,
                          vrk::SprintfFormat("exFAT volume at sector %08Xh: cannot read its boot sector", start));
  }
  const u8* boot = buffer.get();
  if (std::memcmp(boot + BOOT_FILE_SYSTEM_NAME, FILE_SYSTEM_NAME, 8) != 0) {
    throw unsupported(start, "the boot sector's file system name is not \"EXFAT   \"");
  }
  if (readLE16(boot + BOOT_SIGNATURE) != BOOT_SIGNATURE_VALUE) {
    throw unsupported(start, "the boot sector's signature is not AA55h");
  }
  if (!allZero(boot + BOOT_MUST_BE_ZERO, BOOT_MUST_BE_ZERO_LENGTH)) {
    throw unsupported(start, "the boot sector's must-be-zero field is not zero");
  }

  const u32 bpss = boot[BOOT_BYTES_PER_SECTOR_SHIFT];
  const u32 spcs = boot[BOOT_SECTORS_PER_CLUSTER_SHIFT];
  if (bpss < MIN_BYTES_PER_SECTOR_SHIFT || bpss > MAX_BYTES_PER_SECTOR_SHIFT) {
    throw unsupported(start, vrk::SprintfFormat("bytes-per-sector shift %u is outside 9..12", bpss));
  }
  if (spcs > MAX_CLUSTER_SHIFT - bpss) {
    throw unsupported(start, vrk::SprintfFormat("sectors-per-cluster shift %u makes clusters over 32 MiB", spcs));
  }
  const u32 fats = boot[BOOT_NUMBER_OF_FATS];
  const u32 active = readLE16(boot + BOOT_VOLUME_FLAGS) & VOLUME_FLAG_ACTIVE_FAT;
  if (fats != 1 && fats != 2) throw unsupported(start, vrk::SprintfFormat("%u FATs (1 or 2 expected)", fats));
  if (active >= fats) throw unsupported(start, "the active FAT is the second of a single FAT");

  // Each field is checked against the ones before it, so that no sum or difference below
  // can wrap: the volume length bounds every offset, and it is at most 2^45 bytes.
  const u64 length = readLE64(boot + BOOT_VOLUME_LENGTH);
  if (length > (partitionBytes >> bpss)) {
    throw unsupported(start, vrk::SprintfFormat("its length of %I64u sectors of %u bytes exceeds the partition",
                                                length, 1u << bpss));
  }
  if ((volumeByteStart + (length << bpss) + dss - 1) / dss > SECTOR_LIMIT) {
    throw unsupported(start, "it reaches past drive sector FFFFFFFFh");
  }
  if (length < BOOT_REGIONS_SECTORS) throw unsupported(start, "it is shorter than its boot regions");
  const u32 fatOff = readLE32(boot + BOOT_FAT_OFFSET);
  const u32 fatLen = readLE32(boot + BOOT_FAT_LENGTH);
  const u32 heap = readLE32(boot + BOOT_CLUSTER_HEAP_OFFSET);
  const u32 clusters = readLE32(boot + BOOT_CLUSTER_COUNT);
  const u32 root = readLE32(boot + BOOT_ROOT_CLUSTER);
  if (fatOff < BOOT_REGIONS_SECTORS || fatLen == 0 || u64(fatOff) + u64(fatLen) * fats > heap) {
    throw unsupported(start, "the FAT region overlaps the boot regions or the cluster heap, or is empty");
  }
  if (heap > length) throw unsupported(start, "the cluster heap starts past the volume");
  if (clusters == 0 || clusters > MAX_CLUSTER_COUNT) {
    throw unsupported(start, vrk::SprintfFormat("cluster count %u is out of range", clusters));
  }
  if (clusters > ((length - heap) >> spcs)) {
    throw unsupported(start, vrk::SprintfFormat("cluster count %u runs past the volume", clusters));
  }
  if ((u64(clusters) + FIRST_CLUSTER) * FAT_ENTRY_BYTES > (u64(fatLen) << bpss)) {
    throw unsupported(start, vrk::SprintfFormat("cluster count %u does not fit its FAT", clusters));
  }
  if (root < FIRST_CLUSTER || root - FIRST_CLUSTER >= clusters) {
    throw unsupported(start, vrk::SprintfFormat("root directory cluster %08Xh lies outside the cluster heap", root));
  }

  sectorShift = bpss;
  clusterShift = spcs;
  volumeLength = length;
  fatOffset = fatOff;
  fatLength = fatLen;
  numberOfFats = fats;
  activeFat = active;
  clusterHeapOffset = heap;
  clusterCount = clusters;
  rootCluster = root;
}

// The reads of one getSectorMap(): pieces of the volume by byte offset, the active FAT
// through a window, and cluster chains. Every walk is bounded by the cluster count.
class ExfatVolumeMapper::Walk {
 public:
  explicit Walk(const ExfatVolumeMapper& m) : m(m) {}

  // The bytes [offset, offset + count) of the volume, read as whole disk sectors; valid
  // until the next call. `count` comes from pieceAt, so that no request exceeds its limit.
  const u8* bytes(u64 offset, u32 count, const char* what) {
    const u32 dss = m.diskSectorSize;
    const u64 absolute = m.volumeByteStart + offset;
    const u64 first = absolute / dss;
    const u64 sectors = (absolute + count + dss - 1) / dss - first;
    const std::size_t need = static_cast<std::size_t>(sectors * dss);
    u8* data = space(need) + WINDOW_SPACE;
    if (!m.disk->readSectors(static_cast<u32>(first), data, static_cast<u32>(sectors))) {
      throw VantorException(ERR_DISK_ACCESS,
                            vrk::SprintfFormat("exFAT volume at sector %08Xh: cannot read %u sectors at sector "
                                               "%08Xh (%s)",
                                               m.volumeStartSector, u32(sectors), u32(first), what));
    }
    return data + (absolute - first * dss);
  }

  // The bytes of a piece that starts at `offset` and may run `left` bytes, such that its
  // whole disk sectors come to at most `limit` bytes (a multiple of the sector size).
  u32 pieceAt(u64 offset, u64 left, u32 limit) const {
    const u32 misalignment = static_cast<u32>((m.volumeByteStart + offset) % m.diskSectorSize);
    return static_cast<u32>(std::min<u64>(left, limit - misalignment));
  }

  u64 clusterOffset(u32 cluster) const {
    return (u64(m.clusterHeapOffset) << m.sectorShift) + (u64(cluster - FIRST_CLUSTER) << clusterBytesShift());
  }
  u32 clusterBytesShift() const { return m.sectorShift + m.clusterShift; }

  // The clusters of the chain that starts at `first`, merged into extents: `clusters` of
  // them, or when `clusters` is 0 up to the end-of-chain mark, at most `limit` of them (a
  // directory's chain: no directory passes 256 MiB, and a longer chain loops).
  std::vector<Extent> chain(u32 first, u64 clusters, const char* what, u64 limit = 0) {
    std::vector<Extent> extents;
    u32 c = first;
    for (u64 n = 1;; ++n) {
      if (c < FIRST_CLUSTER || c - FIRST_CLUSTER >= m.clusterCount) {
        throw unsupported(m.volumeStartSector,
                          vrk::SprintfFormat("cluster %08Xh of the %s lies outside the cluster heap", c, what));
      }
      append(extents, c);
      if (n == clusters) break;
      const u32 next = fatEntry(c);
      if (next == FAT_END_OF_CHAIN) {
        if (clusters != 0) {
          throw unsupported(m.volumeStartSector,
                            vrk::SprintfFormat("the %s's cluster chain ends after %I64u of %I64u clusters", what, n,
                                               clusters));
        }
        break;
      }
      if (n >= limit && clusters == 0) {
        throw unsupported(m.volumeStartSector,
                          vrk::SprintfFormat("the %s's cluster chain loops (or passes 256 MiB)", what));
      }
      c = next;
    }
    // A chain of known length that comes back to a cluster would read one part twice and
    // miss the rest: its extents, in cluster order, must not overlap.
    if (const u32 twice = firstOverlap(extents)) {
      throw unsupported(m.volumeStartSector,
                        vrk::SprintfFormat("the %s's cluster chain loops (cluster %08Xh twice)", what, twice));
    }
    return extents;
  }

 private:
  // Entry `cluster` of the active FAT (cluster is inside the heap, so inside the FAT).
  u32 fatEntry(u32 cluster) {
    const u64 fat = (u64(m.fatOffset) + u64(m.activeFat) * m.fatLength) << m.sectorShift;
    const u64 at = u64(cluster) * FAT_ENTRY_BYTES;
    if (!windowData || at < windowStart || at >= windowStart + windowBytes) {
      const u64 fatBytes = u64(m.fatLength) << m.sectorShift;
      windowStart = at / FAT_WINDOW_BYTES * FAT_WINDOW_BYTES;
      windowBytes = static_cast<u32>(std::min<u64>(FAT_WINDOW_BYTES, fatBytes - windowStart));
      const u32 dss = m.diskSectorSize;
      const u64 absolute = m.volumeByteStart + fat + windowStart;
      const u64 first = absolute / dss;
      const u64 sectors = (absolute + windowBytes + dss - 1) / dss - first;
      u8* window = space(0);
      if (!m.disk->readSectors(static_cast<u32>(first), window, static_cast<u32>(sectors))) {
        throw VantorException(ERR_DISK_ACCESS,
                              vrk::SprintfFormat("exFAT volume at sector %08Xh: cannot read %u sectors at sector "
                                                 "%08Xh (FAT)",
                                                 m.volumeStartSector, u32(sectors), u32(first)));
      }
      windowData = window + (absolute - first * dss);
    }
    return readLE32(windowData + (at - windowStart));
  }

  const ExfatVolumeMapper& m;
  // One buffer for both, so that a walk maps memory once or twice: the FAT window in its
  // first WINDOW_SPACE bytes, then a piece of the directory or the bitmap. Growing it for
  // a larger piece drops the window.
  u8* space(std::size_t dataBytes) {
    if (!buffer || buffer->size() < WINDOW_SPACE + dataBytes) {
      buffer.emplace(WINDOW_SPACE + std::max<std::size_t>(dataBytes, DIRECTORY_PIECE_BYTES),
                     DiskBufferPointer::OnFailure::Empty);
      if (!*buffer) throw VantorException(ERR_GENERAL, "no memory to read an exFAT volume");
      windowData = nullptr;
    }
    return buffer->get();
  }

  std::optional<DiskBufferPointer> buffer;
  u64 windowStart = 0;
  u32 windowBytes = 0;
  const u8* windowData = nullptr;
};

namespace {

// Adds the volume's bytes [offset, offset + count) as the disk sectors that hold them.
// The constructor made sure every byte of the volume lies below drive sector 2^32.
void addBytes(SectorMap& map, u64 volumeByteStart, u32 dss, u64 offset, u64 count) {
  u64 first = (volumeByteStart + offset) / dss;
  const u64 end = (volumeByteStart + offset + count + dss - 1) / dss;
  while (first < end) {  // pieces that a u32 count holds
    const u64 n = std::min<u64>(end - first, 0x80000000u);
    addSectorRange(map, makeSectorRange(static_cast<u32>(first), static_cast<u32>(n)));
    first += n;
  }
}

}  // namespace

SectorMap ExfatVolumeMapper::getSectorMap(u64* usedClusters) const {
  VRK_TRACE(logger(), "getSectorMap");
  const u32 start = volumeStartSector;
  const u32 dss = diskSectorSize;
  Walk walk(*this);
  const u32 shift = walk.clusterBytesShift();

  // The root directory, up to its end-of-directory entry: its allocation bitmap and
  // up-case table entries.
  const u64 rootLimit = std::min<u64>(clusterCount, std::max<u64>(1, MAX_DIRECTORY_BYTES >> shift));
  const std::vector<Extent> rootExtents = walk.chain(rootCluster, 0, "root directory", rootLimit);
  struct Entry {
    u32 flags, firstCluster;
    u64 length;
  };
  std::vector<Entry> bitmaps, upcase;
  bool end = false;
  for (const Extent& e : rootExtents) {
    const u64 extentBytes = u64(e.count) << shift;
    for (u64 done = 0; done < extentBytes && !end;) {
      const u64 offset = walk.clusterOffset(e.first) + done;
      const u32 n = walk.pieceAt(offset, extentBytes - done, DIRECTORY_PIECE_BYTES);
      const u8* p = walk.bytes(offset, n, "root directory");
      for (u32 i = 0; i < n && !end; i += DIR_ENTRY_BYTES) {
        const u8* entry = p + i;
        const Entry found{entry[DIR_ENTRY_FLAGS], readLE32(entry + DIR_ENTRY_FIRST_CLUSTER),
                          readLE64(entry + DIR_ENTRY_DATA_LENGTH)};
        if (entry[DIR_ENTRY_TYPE] == ENTRY_END_OF_DIRECTORY) end = true;
        if (entry[DIR_ENTRY_TYPE] == ENTRY_ALLOCATION_BITMAP) bitmaps.push_back(found);
        if (entry[DIR_ENTRY_TYPE] == ENTRY_UPCASE_TABLE) upcase.push_back(found);
      }
      done += n;
    }
    if (end) break;
  }
  if (bitmaps.size() > numberOfFats) {
    throw unsupported(start, vrk::SprintfFormat("%u allocation bitmap entries for %u FATs", u32(bitmaps.size()),
                                                numberOfFats));
  }
  const auto active = std::find_if(bitmaps.begin(), bitmaps.end(),
                                   [this](const Entry& b) { return (b.flags & 1) == activeFat; });
  if (active == bitmaps.end()) {
    throw unsupported(start, vrk::SprintfFormat("no allocation bitmap entry for FAT %u", activeFat + 1));
  }

  // The clusters of an entry's data: refused when they cannot lie inside the heap.
  const u64 heapBytes = u64(clusterCount) << shift;
  const auto clustersOf = [&](const Entry& e, const char* what) {
    if (e.length > heapBytes) {
      throw unsupported(start, vrk::SprintfFormat("%s runs past the volume", what));
    }
    return walk.chain(e.firstCluster, (e.length + (u64(1) << shift) - 1) >> shift, what);
  };
  const u64 bitmapBytes = (u64(clusterCount) + 7) / 8;
  if (active->length < bitmapBytes) {
    throw unsupported(start, vrk::SprintfFormat("allocation bitmap of %I64u bytes is too short for %u clusters",
                                                active->length, clusterCount));
  }
  std::vector<Extent> system = rootExtents;
  std::vector<Extent> bitmapExtents;
  for (const Entry& b : bitmaps) {
    std::vector<Extent> extents = clustersOf(b, "allocation bitmap");
    system.insert(system.end(), extents.begin(), extents.end());
    if (&b == &*active) bitmapExtents = std::move(extents);
  }
  for (const Entry& u : upcase) {
    if (u.length == 0) continue;
    const std::vector<Extent> extents = clustersOf(u, "up-case table");
    system.insert(system.end(), extents.begin(), extents.end());
  }

  // The fixed regions and the system clusters first, in ascending order, so that the
  // bitmap's runs, added in ascending order after them, cost few comparisons each.
  SectorMap map;
  addBytes(map, volumeByteStart, dss, 0, u64(BOOT_REGIONS_SECTORS) << sectorShift);
  addBytes(map, volumeByteStart, dss, u64(fatOffset) << sectorShift, (u64(fatLength) * numberOfFats) << sectorShift);
  if (const u32 shared = firstOverlap(system)) {
    throw unsupported(start, vrk::SprintfFormat("cluster %08Xh belongs to two of the bitmaps, the up-case table and "
                                                "the root directory",
                                                shared));
  }
  std::sort(system.begin(), system.end(), [](const Extent& a, const Extent& b) { return a.first < b.first; });
  for (const Extent& e : system) {
    addBytes(map, volumeByteStart, dss, walk.clusterOffset(e.first), u64(e.count) << shift);
  }

  // The bitmap: bit i of byte j is cluster 2 + 8j + i; bits from clusterCount on are ignored.
  u64 used = 0, consumed = 0;  // consumed: bytes of the bitmap read
  auto emit = [&](u64 first, u64 end) {
    used += end - first;
    addBytes(map, volumeByteStart, dss, walk.clusterOffset(static_cast<u32>(FIRST_CLUSTER + first)),
             (end - first) << shift);
  };
  BitmapRuns<decltype(emit)> bits(clusterCount, emit);
  for (const Extent& e : bitmapExtents) {
    const u64 extentBytes = std::min<u64>(u64(e.count) << shift, bitmapBytes - consumed);
    for (u64 done = 0; done < extentBytes;) {
      const u64 offset = walk.clusterOffset(e.first) + done;
      const u32 n = walk.pieceAt(offset, extentBytes - done, BITMAP_PIECE_BYTES);
      bits.feed(walk.bytes(offset, n, "allocation bitmap"), n);
      done += n;
      consumed += n;
    }
  }
  bits.finish();
  if (usedClusters) *usedClusters = used;
  return map;
}

}  // namespace vantor

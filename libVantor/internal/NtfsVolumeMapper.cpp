#include <libVantor/internal/NtfsVolumeMapper.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/BitmapRuns.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/NtfsLayout.h>
#include <vrk/Log.h>

namespace vantor {

using namespace ntfs;

namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.NtfsVolumeMapper");
  return l;
}

constexpr u64 MAX_SECTOR = 0xFFFFFFFFull;
constexpr u32 PIECE_BYTES = 1u << 20;      // the largest read request
constexpr u32 SMALL_BUFFER_BYTES = 8192;   // the boot sector, and all a small volume needs read
constexpr u32 MAX_RUN_SECTORS = 1u << 31;  // a map run's numSectors stays well inside u32

bool isPowerOfTwo(u64 v) { return v != 0 && (v & (v - 1)) == 0; }

VantorException refused(u32 volumeStartSector, const vrk::String& what) {
  return VantorException(ERR_UNSUPPORTED_FILE_SYSTEM,
                         vrk::SprintfFormat("NTFS volume at sector %08Xh: %s", volumeStartSector, what.c_str()));
}

// The `width` bytes at `p` (1 to 8) as a little-endian two's-complement number.
std::int64_t readSigned(const u8* p, u32 width) {
  u64 v = 0;
  for (u32 i = width; i > 0; --i) v = (v << 8) | p[i - 1];
  if (width < 8 && (p[width - 1] & 0x80)) v |= ~u64(0) << (8 * width);
  return static_cast<std::int64_t>(v);
}

}  // namespace

// What record 6 says of the bitmap: either its bytes (resident) or its runs.
struct NtfsVolumeMapper::BitmapLocation {
  std::vector<u8> residentBytes;
  bool resident = false;
  std::vector<Run> runs;  // in VCN order
  u64 initializedSize = 0;
};

bool NtfsVolumeMapper::recognises(const u8* head, std::size_t size) {
  return head && size >= 512 && std::memcmp(head + BOOT_OEM_ID, OEM_ID, OEM_ID_LENGTH) == 0 &&
         head[BOOT_SIGNATURE] == 0x55 && head[BOOT_SIGNATURE + 1] == 0xAA;
}

NtfsVolumeMapper::NtfsVolumeMapper(IDisk& disk_, u32 volumeStartSector_, u64 volumeSectorCount)
    : disk(&disk_),
      smallBuffer(SMALL_BUFFER_BYTES, DiskBufferPointer::OnFailure::Empty),
      diskSectorBytes(disk_.getSectorSize()),
      volumeStartSector(volumeStartSector_) {
  VRK_TRACE(logger(), "NtfsVolumeMapper constructor");
  const u32 start = volumeStartSector;
  if (diskSectorBytes < MIN_SECTOR_BYTES || diskSectorBytes > MAX_SECTOR_BYTES || !isPowerOfTwo(diskSectorBytes)) {
    throw refused(start, vrk::SprintfFormat("drive sectors of %u bytes", diskSectorBytes));
  }
  if (volumeSectorCount == 0) throw refused(start, "the volume is empty");
  // Past 2^40 drive sectors the count no longer matters: the file system must end below 2^32.
  const u64 volumeBytes = std::min<u64>(volumeSectorCount, u64(1) << 40) * diskSectorBytes;

  u8 boot[512];
  readBytes(smallBuffer, 0, sizeof boot, [&](const u8* p, u64 n) { std::memcpy(boot, p, n); });

  if (std::memcmp(boot + BOOT_OEM_ID, OEM_ID, OEM_ID_LENGTH) != 0) throw refused(start, "no \"NTFS    \" OEM name");
  if (boot[BOOT_SIGNATURE] != 0x55 || boot[BOOT_SIGNATURE + 1] != 0xAA) {
    throw refused(start, "boot sector without its 55AAh signature");
  }
  const u32 bps = readLE16(boot + BOOT_BYTES_PER_SECTOR);
  if (bps < MIN_SECTOR_BYTES || bps > MAX_SECTOR_BYTES || !isPowerOfTwo(bps)) {
    throw refused(start, vrk::SprintfFormat("%u bytes per sector", bps));
  }
  // Sectors per cluster: 1 to 128, or above 0x80 the power of two 256 - value.
  const u32 spcRaw = boot[BOOT_SECTORS_PER_CLUSTER];
  const u32 spcShift = spcRaw <= 0x80 ? 0 : 256 - spcRaw;
  if ((spcRaw <= 0x80 && !isPowerOfTwo(spcRaw)) || spcShift > 12 ||
      (u64(bps) * (spcShift ? u64(1) << spcShift : spcRaw)) > MAX_CLUSTER_BYTES) {
    throw refused(start, vrk::SprintfFormat("sectors-per-cluster byte %02Xh", spcRaw));
  }
  const u32 sectorsPerCluster = spcShift ? 1u << spcShift : spcRaw;
  const u64 total = readLE64(boot + BOOT_TOTAL_SECTORS);
  if (total == 0 || total >= volumeBytes / bps) {
    throw refused(start, vrk::SprintfFormat("%I64u sectors of %u bytes and the backup boot sector do not fit in the "
                                            "volume's %I64u sectors of %u bytes",
                                            total, bps, volumeSectorCount, diskSectorBytes));
  }
  const u64 lastDriveSector = start + ((total + 1) * bps + diskSectorBytes - 1) / diskSectorBytes - 1;
  if (lastDriveSector > MAX_SECTOR) {
    throw refused(start, vrk::SprintfFormat("the file system reaches past drive sector FFFFFFFFh (to %I64Xh)",
                                            lastDriveSector));
  }
  sectorBytes = bps;
  totalSectors = total;
  clusterBytes = bps * sectorsPerCluster;
  clusterCount = total / sectorsPerCluster;
  if (clusterCount == 0) throw refused(start, "no whole cluster");

  const int cpr = static_cast<std::int8_t>(boot[BOOT_CLUSTERS_PER_MFT_RECORD]);
  const u64 record = cpr > 0 ? u64(cpr) * clusterBytes : (cpr < 0 && cpr >= -31 ? u64(1) << -cpr : 0);
  if (record < MIN_RECORD_BYTES || record > MAX_RECORD_BYTES || !isPowerOfTwo(record)) {
    throw refused(start, vrk::SprintfFormat("MFT records of %I64u bytes (byte %02Xh)", record,
                                            boot[BOOT_CLUSTERS_PER_MFT_RECORD]));
  }
  recordBytes = static_cast<u32>(record);
  const u64 mftLcn = readLE64(boot + BOOT_MFT_LCN);
  if (mftLcn >= clusterCount || mftLcn * clusterBytes + u64(RESERVED_RECORDS) * recordBytes >
                                    clusterCount * clusterBytes) {
    throw refused(start, vrk::SprintfFormat("MFT at cluster %I64u outside the volume's %I64u clusters", mftLcn,
                                            clusterCount));
  }
  mftOffset = mftLcn * clusterBytes;
}

DiskBufferPointer NtfsVolumeMapper::makeBuffer(u64 bytes) const {
  const u32 ds = diskSectorBytes;
  const u64 sectors = (bytes + ds - 1) / ds + 1;  // one more for a start within a sector
  return DiskBufferPointer(std::min<u64>(PIECE_BYTES, sectors * ds), DiskBufferPointer::OnFailure::Empty);
}

template <class Take>
void NtfsVolumeMapper::readBytes(const DiskBufferPointer& buffer, u64 offset, u64 length, Take&& take) const {
  const u32 ds = diskSectorBytes;
  for (u64 at = offset, end = offset + length; at < end;) {
    const u64 sector = volumeStartSector + at / ds;
    if (!buffer) {
      throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("NTFS volume at sector %08Xh: no memory to read sector "
                                                                "%08Xh",
                                                                volumeStartSector, static_cast<u32>(sector)));
    }
    const u32 skip = static_cast<u32>(at % ds);
    const u64 n = std::min<u64>(end - at, buffer.size() - skip);
    const u32 count = static_cast<u32>((skip + n + ds - 1) / ds);
    if (sector + count - 1 > MAX_SECTOR) {
      throw refused(volumeStartSector, vrk::SprintfFormat("a read past drive sector FFFFFFFFh (at %I64Xh)", sector));
    }
    if (!disk->readSectors(static_cast<u32>(sector), buffer.get(), count)) {
      throw VantorException(ERR_DISK_ACCESS,
                            vrk::SprintfFormat("NTFS volume at sector %08Xh: error reading %u sectors at sector %08Xh",
                                               volumeStartSector, count, static_cast<u32>(sector)));
    }
    take(buffer.get() + skip, n);
    at += n;
  }
}

NtfsVolumeMapper::BitmapLocation NtfsVolumeMapper::locateBitmap(const DiskBufferPointer& buffer) const {
  const u32 start = volumeStartSector;
  std::vector<u8> r(recordBytes);
  std::size_t filled = 0;
  readBytes(buffer, mftOffset + u64(BITMAP_RECORD) * recordBytes, recordBytes, [&](const u8* p, u64 n) {
    std::memcpy(r.data() + filled, p, n);
    filled += n;
  });
  const auto bad = [&](const vrk::String& what) { return refused(start, "$Bitmap's MFT record: " + what); };

  if (std::memcmp(r.data() + RECORD_SIGNATURE, "FILE", 4) != 0) throw bad("no \"FILE\" signature");
  // Update sequence: the array's first entry (the USN) must end every 512-byte block, and
  // the entries after it are the bytes it stands in for.
  const u32 usaOffset = readLE16(&r[RECORD_USA_OFFSET]), usaCount = readLE16(&r[RECORD_USA_COUNT]);
  if (usaOffset % 2 != 0 || usaOffset < RECORD_HEADER_V30 || usaCount != recordBytes / FIXUP_STRIDE + 1 ||
      usaOffset + 2 * usaCount > FIXUP_STRIDE - 2) {
    throw bad(vrk::SprintfFormat("update sequence array at offset %u with %u entries", usaOffset, usaCount));
  }
  for (u32 block = 0; block + 1 < usaCount; ++block) {
    u8* tail = &r[block * FIXUP_STRIDE + FIXUP_STRIDE - 2];
    if (tail[0] != r[usaOffset] || tail[1] != r[usaOffset + 1]) {
      throw bad(vrk::SprintfFormat("block %u fails its update sequence check (a torn write)", block));
    }
    tail[0] = r[usaOffset + 2 * (block + 1)];
    tail[1] = r[usaOffset + 2 * (block + 1) + 1];
  }
  const u32 inUse = readLE32(&r[RECORD_BYTES_IN_USE]), attrs = readLE16(&r[RECORD_ATTRIBUTES_OFFSET]);
  if (readLE32(&r[RECORD_BYTES_ALLOCATED]) != recordBytes || inUse > recordBytes) {
    throw bad(vrk::SprintfFormat("sizes %u used of %u disagree with the boot sector's %u-byte records", inUse,
                                 readLE32(&r[RECORD_BYTES_ALLOCATED]), recordBytes));
  }
  if (attrs % 8 != 0 || attrs < usaOffset + 2 * usaCount || attrs >= inUse) {
    throw bad(vrk::SprintfFormat("attributes at offset %u", attrs));
  }
  if (!(readLE16(&r[RECORD_FLAGS]) & RECORD_IN_USE) || readLE64(&r[RECORD_BASE_RECORD]) != 0) {
    throw bad("not a base record in use");
  }
  if (usaOffset >= RECORD_HEADER_V31 && readLE32(&r[RECORD_NUMBER]) != BITMAP_RECORD) {
    throw bad(vrk::SprintfFormat("it says it is record %u", readLE32(&r[RECORD_NUMBER])));
  }

  // The attributes, up to the end mark. Each takes at least 24 bytes of the record, so
  // the walk ends within recordBytes / 24 steps.
  u32 data = 0;  // offset of the unnamed $DATA; 0: none
  bool hasList = false;
  for (u32 at = attrs;;) {
    if (at + 4 > inUse) throw bad(vrk::SprintfFormat("attribute at offset %u outside the record", at));
    const u32 type = readLE32(&r[at + ATTR_TYPE]);
    if (type == TYPE_END) break;
    const u32 len = at + 16 <= inUse ? readLE32(&r[at + ATTR_LENGTH]) : 0;
    if (len < ATTR_RESIDENT_HEADER || len % 8 != 0 || len > inUse - at) {
      throw bad(vrk::SprintfFormat("attribute at offset %u with length %u outside the record", at, len));
    }
    if (type == TYPE_ATTRIBUTE_LIST) hasList = true;
    if (type == TYPE_DATA && r[at + ATTR_NAME_LENGTH] == 0) {
      if (data != 0) throw bad("two unnamed $DATA attributes");
      data = at;
    }
    at += len;
  }
  if (data == 0) {
    throw bad(hasList ? "no unnamed $DATA here; it lies in other MFT records (an attribute list), which is not mapped"
                      : "no unnamed $DATA attribute");
  }

  const u8* a = &r[data];
  const u32 len = readLE32(a + ATTR_LENGTH);
  const u64 neededBytes = (clusterCount + 7) / 8;
  BitmapLocation loc;
  if (a[ATTR_NON_RESIDENT] == 0) {
    const u32 valueLength = readLE32(a + ATTR_VALUE_LENGTH), valueOffset = readLE16(a + ATTR_VALUE_OFFSET);
    if (valueOffset < ATTR_RESIDENT_HEADER || valueOffset > len || valueLength > len - valueOffset) {
      throw bad(vrk::SprintfFormat("resident $DATA of %u bytes at offset %u outside its attribute", valueLength,
                                   valueOffset));
    }
    if (valueLength < neededBytes) {
      throw refused(start, vrk::SprintfFormat("$Bitmap of %u bytes is shorter than the %I64u clusters need",
                                              valueLength, clusterCount));
    }
    loc.resident = true;
    loc.residentBytes.assign(a + valueOffset, a + valueOffset + neededBytes);
    return loc;
  }

  if (len < ATTR_NON_RESIDENT_HEADER) throw bad(vrk::SprintfFormat("non-resident $DATA of only %u bytes", len));
  if (readLE16(a + ATTR_FLAGS) & (ATTR_FLAG_COMPRESSED | ATTR_FLAG_ENCRYPTED)) {
    throw refused(start, "$Bitmap is compressed or encrypted");
  }
  const u64 lowestVcn = readLE64(a + ATTR_LOWEST_VCN), highestVcn = readLE64(a + ATTR_HIGHEST_VCN);
  const u64 allocated = readLE64(a + ATTR_ALLOCATED_SIZE), size = readLE64(a + ATTR_DATA_SIZE);
  const u64 initialized = readLE64(a + ATTR_INITIALIZED_SIZE);
  const u32 runsOffset = readLE16(a + ATTR_RUNS_OFFSET);
  if (lowestVcn != 0) {
    throw refused(start, vrk::SprintfFormat("$Bitmap's record holds it from VCN %I64u only; the rest lies in other "
                                            "MFT records (an attribute list), which is not mapped",
                                            lowestVcn));
  }
  if (highestVcn >= clusterCount || allocated > clusterCount * clusterBytes || size > allocated ||
      initialized > size) {
    throw refused(start, vrk::SprintfFormat("$Bitmap with absurd sizes (last VCN %I64u, allocated %I64u, size "
                                            "%I64u, initialized %I64u)",
                                            highestVcn, allocated, size, initialized));
  }
  if (size < neededBytes) {
    throw refused(start, vrk::SprintfFormat("$Bitmap of %I64u bytes is shorter than the %I64u clusters need", size,
                                            clusterCount));
  }
  if (runsOffset < ATTR_NON_RESIDENT_HEADER || runsOffset >= len) {
    throw bad(vrk::SprintfFormat("$DATA's runs at offset %u outside the attribute", runsOffset));
  }

  // Mapping pairs: a header byte (low nibble: bytes of the length, high: bytes of the
  // signed LCN change, 0 for a sparse run), then those numbers; a 0 header ends the list.
  // Each run takes at least two bytes of the attribute, which bounds the walk.
  const u8* p = a + runsOffset;
  const u8* const end = a + len;
  const u64 vcnCount = highestVcn + 1;
  u64 vcn = 0;
  std::int64_t lcn = 0;
  for (;;) {
    if (p >= end) throw bad("$DATA's run list has no end mark");
    const u32 header = *p++;
    if (header == 0) break;
    const u32 lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || u64(end - p) < lengthBytes + offsetBytes) {
      throw bad(vrk::SprintfFormat("run header %02Xh at VCN %I64u", header, vcn));
    }
    const std::int64_t length = readSigned(p, lengthBytes);
    p += lengthBytes;
    if (length <= 0 || u64(length) > vcnCount - vcn) {
      throw refused(start, vrk::SprintfFormat("$Bitmap run of %I64d clusters at VCN %I64u beyond its last VCN %I64u",
                                              length, vcn, highestVcn));
    }
    Run run;
    run.length = u64(length);
    run.sparse = offsetBytes == 0;
    if (!run.sparse) {
      const std::int64_t delta = readSigned(p, offsetBytes);
      p += offsetBytes;
      // |lcn| stays below the cluster count (< 2^41), so a change checked first cannot overflow.
      const std::int64_t limit = static_cast<std::int64_t>(clusterCount);
      if (delta > limit || delta < -limit || lcn + delta < 0 || u64(lcn + delta) + run.length > clusterCount) {
        throw refused(start, vrk::SprintfFormat("$Bitmap run past the volume (VCN %I64u, LCN %I64d, %I64u clusters)",
                                                vcn, lcn + delta, run.length));
      }
      lcn += delta;
      run.lcn = u64(lcn);
    }
    loc.runs.push_back(run);
    vcn += run.length;
  }
  if (vcn != vcnCount) {
    throw refused(start, vrk::SprintfFormat("$Bitmap's runs cover %I64u clusters, its header %I64u%s", vcn, vcnCount,
                                            hasList ? " (an attribute list continues it, which is not mapped)" : ""));
  }
  if (vcn * clusterBytes < std::min(initialized, neededBytes)) {
    throw refused(start, "$Bitmap's runs are shorter than its size");
  }
  loc.initializedSize = initialized;
  return loc;
}

void NtfsVolumeMapper::addBytes(SectorMap& map, u64 offset, u64 length) const {
  u64 first = volumeStartSector + offset / diskSectorBytes;
  const u64 end = volumeStartSector + (offset + length + diskSectorBytes - 1) / diskSectorBytes;
  for (; first < end;) {  // sectors below 2^32 (the constructor checked), in pieces a run's count holds
    const u32 n = static_cast<u32>(std::min<u64>(end - first, MAX_RUN_SECTORS));
    addSectorRange(map, makeSectorRange(static_cast<u32>(first), n));
    first += n;
  }
}

SectorMap NtfsVolumeMapper::getSectorMap(u64* usedClusters) const {
  VRK_TRACE(logger(), "getSectorMap");
  // One buffer for the record and the bitmap: the mapper's own, unless either needs more
  // (then one as large as the larger needs, up to 1 MiB).
  const u64 neededBytes = (clusterCount + 7) / 8;
  const u64 largest = std::max<u64>(recordBytes, neededBytes);
  std::optional<DiskBufferPointer> large;
  if (largest + diskSectorBytes > smallBuffer.size()) large.emplace(makeBuffer(largest));
  const DiskBufferPointer& buffer = large ? *large : smallBuffer;
  const BitmapLocation loc = locateBitmap(buffer);

  SectorMap map;
  const u64 fileSystemBytes = (totalSectors + 1) * sectorBytes;
  addBytes(map, 0, std::min<u64>(std::max<u64>(BOOT_AREA_BYTES, clusterBytes), fileSystemBytes));

  u64 used = 0;
  auto emit = [&](u64 first, u64 end) {
    used += end - first;
    addBytes(map, first * clusterBytes, (end - first) * clusterBytes);
  };
  BitmapRuns<decltype(emit)> bits(clusterCount, emit);
  if (loc.resident) {
    bits.feed(loc.residentBytes.data(), neededBytes);
  } else {
    u64 at = 0;  // bytes of the bitmap passed so far
    for (const Run& run : loc.runs) {
      if (at >= neededBytes) break;
      const u64 runBytes = std::min(run.length * clusterBytes, neededBytes - at);
      // What lies past the initialized size reads as zeros, as does a sparse run.
      const u64 stored = run.sparse ? 0 : std::min(runBytes, loc.initializedSize - std::min(at, loc.initializedSize));
      if (stored > 0) readBytes(buffer, run.lcn * clusterBytes, stored, [&](const u8* p, u64 n) { bits.feed(p, n); });
      if (runBytes > stored) bits.skip(runBytes - stored);
      at += runBytes;
    }
  }
  bits.finish();

  addBytes(map, totalSectors * sectorBytes, sectorBytes);  // the backup boot sector
  if (usedClusters) *usedClusters = used;
  return map;
}

}  // namespace vantor

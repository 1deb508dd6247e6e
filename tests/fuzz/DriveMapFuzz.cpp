// The used-sector map of a drive built from the fuzzer's choices: an MBR with up to four
// entries, FAT16 and FAT32 volumes behind them (boot sector, FAT copies with cluster
// chains, root directory), data in the gap after the MBR, then a few fields broken on
// purpose. The map must never crash, overflow or allocate without bound; when it
// succeeds it must be the map the bytes on the disk describe (worked out here without
// the library) and keep its ordering invariants; when it fails the caller's map stays
// as it was. Now and then a successful map is also captured into an image file and
// written back onto an empty disk, which must then hold the mapped sectors and nothing
// else.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), volumes allowed past the drive (bit 3),
//            capture and restore (bit 4), a disk of 2^32 sectors less the slack (bit 5);
//            0xFF copies the rest of the input to the disk as it stands instead
//   slack:   sectors added after the last structure
//   4 partition records: kind, type, placement, size, and for a FAT volume its
//            parameters and chains
//   gap data: up to three sectors below 2048 with data
//   corruptions (Layout::corrupt)
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "Imaging.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::fuzz::Layout;
using vantor::test::FakeDisk;
using Op = vantor::test::FakeDisk::Op;

namespace {

constexpr u32 LAST_SECTOR = 0xFFFFFFFF;
// The disk refuses longer transfers, as a device with a transfer limit would: a FAT that
// a broken boot sector claims to be gigabytes long then fails its read instead of filling
// memory (the mapper reads the whole FAT in one request).
constexpr u32 TRANSFER_LIMIT = 8192;  // sectors
// Capture and restore run only for maps this small (bytes), to keep executions short.
constexpr u64 ROUND_TRIP_LIMIT = 256u << 10;
constexpr u32 GAP_LIMIT = 2048;
constexpr u32 SMALL_DATA_AREA = 256;  // sectors

struct Volume {
  bool fat32 = false;
  u32 start = 0;
  u32 reserved = 1;
  u32 fats = 2;
  u32 spc = 1;
  u32 rootEntries = 0;
  u32 clusters = 0;
  u32 spf = 1;
  u32 firstData = 0;  // disk sector of cluster 2
  u32 naturalSize = 0;
};

struct Entry {
  u8 type = 0;
  u8 boot = 0;
  u8 sizeMode = 0;
  u32 start = 0;
  u32 count = 0;
  bool hasVolume = false;
  Volume volume;
};

const u8 FAT16_TYPES[] = {0x06, 0x0E, 0x04};
const u8 FAT32_TYPES[] = {0x0C, 0x0B};
const u8 FOREIGN_TYPES[] = {0x05, 0x0F, 0x07, 0xEE, 0x83, 0x01, 0x85, 0x00};

void layoutVolume(Layout& out, u32 ss, const Entry& e, FuzzInput& chains) {
  const Volume& v = e.volume;
  const u64 boot = u64(v.start) * ss;
  // Fields the mapper does not read are data (never broken): the jump, the name, the
  // media byte, the hidden sectors, the FAT32 root directory cluster.
  out.fill(boot, 3, 0xEB);
  out.copy(boot + 3, "VANTFUZZ", 8);
  out.put16(boot + 11, 512);
  out.put8(boot + 13, static_cast<u8>(v.spc));
  out.put16(boot + 14, static_cast<u16>(v.reserved));
  out.put8(boot + 16, static_cast<u8>(v.fats));
  out.put16(boot + 17, static_cast<u16>(v.rootEntries));
  const u32 total = v.naturalSize;
  out.put16(boot + 19, total < 0x10000 && !v.fat32 ? static_cast<u16>(total) : 0);
  out.copy(boot + 21, "\xF8", 1);
  out.put16(boot + 22, v.fat32 ? 0 : static_cast<u16>(v.spf));
  out.putData32(boot + 28, v.start);
  out.put32(boot + 32, total < 0x10000 && !v.fat32 ? 0 : total);
  if (v.fat32) {
    out.put32(boot + 36, v.spf);
    out.putData32(boot + 44, 2);
    out.putText(boot + 82, "FAT32   ", 8);
  } else {
    out.putText(boot + 54, "FAT16   ", 8);
  }
  out.put16(boot + 510, 0xAA55);

  // The first FAT: media and end-of-chain entries 0 and 1, the FAT32 root directory,
  // then the chains; the other copies get the same entries.
  const u32 width = v.fat32 ? 4 : 2;
  const u32 capacity = 512 * v.spf / width;  // entries one FAT holds
  std::vector<u32> fat(std::min<u32>(capacity, v.clusters + 2 + 64), 0);
  const u32 eoc = v.fat32 ? 0x0FFFFFFF : 0xFFFF;
  if (fat.size() > 1) fat[0] = v.fat32 ? 0x0FFFFFF8 : 0xFFF8, fat[1] = eoc;
  if (v.fat32 && fat.size() > 2) fat[2] = eoc;
  const u32 chainCount = chains.below(8);
  for (u32 c = 0; c < chainCount && fat.size() > 2; ++c) {
    const u8 style = chains.byte();
    u32 cluster = 2 + chains.below(static_cast<u32>(fat.size()) - 2);
    const u32 length = 1 + chains.below(24);
    const u32 stride = 1 + (style >> 6);
    for (u32 i = 0; i < length; ++i) {
      const u32 next = cluster + stride;
      const bool last = i + 1 == length || next >= fat.size();
      u32 value;
      if (!last) {
        value = (style & 0x08) && i == 0 ? chains.u16le() : next;  // a link anywhere
      } else {
        switch (style & 0x07) {
          case 0: value = eoc; break;
          case 1: value = v.fat32 ? 0x0FFFFFF8 : 0xFFF8; break;
          case 2: value = v.fat32 ? 0x0FFFFFF7 : 0xFFF7; break;           // bad cluster
          case 3: value = (v.fat32 ? 0x0FFFFFF0 : 0xFFF0) + chains.below(7); break;  // reserved
          case 4: value = 1; break;
          case 5: value = 2 + chains.below(static_cast<u32>(fat.size())); break;  // a loop
          default: value = v.fat32 ? 0x0FFFFFEF : 0xFFEF; break;
        }
      }
      if (v.fat32 && (style & 0x10)) value |= 0xF0000000;  // reserved top bits
      if (!(style & 0x20) || i % 3 != 1) fat[cluster] = value;
      if (last) break;
      cluster = next;
    }
  }
  for (u32 copy = 0; copy < v.fats; ++copy) {
    const u64 base = (u64(v.start) + v.reserved + u64(copy) * v.spf) * ss;
    for (u32 c = 0; c < fat.size(); ++c) {
      if (fat[c] == 0) continue;
      if (v.fat32) {
        out.putData32(base + u64(c) * 4, fat[c]);
      } else {
        out.putData16(base + u64(c) * 2, static_cast<u16>(fat[c]));
      }
    }
  }
}

// Runs of sectors as [first, last] pairs, merged: the expected map.
struct Spans {
  std::vector<std::pair<u64, u64>> runs;
  FUZZ_UNTRACKED void add(u64 first, u64 count) {
    if (count) runs.emplace_back(first, first + count - 1);
  }
  FUZZ_UNTRACKED void merge() {
    std::sort(runs.begin(), runs.end());
    std::vector<std::pair<u64, u64>> merged;
    for (const auto& r : runs) {
      if (!merged.empty() && r.first <= merged.back().second + 1) {
        merged.back().second = std::max(merged.back().second, r.second);
      } else {
        merged.push_back(r);
      }
    }
    runs.swap(merged);
  }
};

FUZZ_UNTRACKED bool isZero(const u8* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i]) return false;
  }
  return true;
}

// `width` bytes at `offset` of sector `s`, little-endian, as read into a buffer of at
// least 512 bytes: zero past the end of a smaller sector.
FUZZ_UNTRACKED u32 fieldOf(const FakeDisk& disk, u64 s, u32 offset, u32 width) {
  const u32 ss = disk.getSectorSize();
  if (offset + width > ss) return 0;
  u32 v = 0;
  for (u32 b = 0; b < width; ++b) v |= u32(disk.byteAt(s * ss + offset + b)) << (8 * b);
  return v;
}

// The drive's map as the MBR, the gap and each FAT volume's boot sector and first FAT
// describe it, read straight from the disk's bytes. Only called after getDriveMap
// succeeded, so every entry in use is a FAT volume that passed the mapper's checks.
FUZZ_UNTRACKED Spans expectedMap(const FakeDisk& disk, u64& highest) {
  const u32 ss = disk.getSectorSize();
  const u32 sectors = disk.getSizeSectors();
  Spans spans;
  spans.add(0, 1);
  u32 first = 0;
  for (u32 i = 0; i < 4; ++i) {
    const u32 start = fieldOf(disk, 0, 446 + 16 * i + 8, 4);
    if (start != 0 && (first == 0 || start < first)) first = start;
  }
  if (first == 0) {
    spans.add(1, GAP_LIMIT);
  } else {
    for (u32 s = 1; s < GAP_LIMIT && s < first && s < sectors; ++s) {
      const u8* bytes = disk.sector(s);
      if (bytes && !isZero(bytes, ss)) spans.add(s, 1);
    }
  }
  highest = 0;
  for (u32 i = 0; i < 4; ++i) {
    const u32 entry = 446 + 16 * i;
    const u32 type = fieldOf(disk, 0, entry + 4, 1);
    if (type == 0) continue;
    const u32 start = fieldOf(disk, 0, entry + 8, 4);
    highest = std::max(highest, u64(start) - 1 + fieldOf(disk, 0, entry + 12, 4));
    const bool fat32 = type == 0x0B || type == 0x0C;
    const u32 reserved = fieldOf(disk, start, 14, 2), fats = fieldOf(disk, start, 16, 1);
    const u32 spc = fieldOf(disk, start, 13, 1);
    const u32 rootEntries = fat32 ? 0 : fieldOf(disk, start, 17, 2);
    const u32 spf = fat32 ? fieldOf(disk, start, 36, 4) : fieldOf(disk, start, 22, 2);
    const u64 fatStart = u64(start) + reserved;
    const u64 firstData = fatStart + u64(fats) * spf + (u64(rootEntries) * 32 + 511) / 512;
    spans.add(start, firstData - start);
    // The FAT as the mapper reads it: spf disk sectors into a buffer of spf units of at
    // least 512 bytes, entries for 512 * spf bytes.
    const u32 width = fat32 ? 4 : 2;
    const u64 entries = u64(512) * spf / width;
    std::vector<u8> fat(u64(std::max<u32>(512, ss)) * spf, 0);
    for (u64 i = 0; i < spf; ++i)
      if (const u8* stored = disk.sector(fatStart + i)) std::memcpy(fat.data() + i * ss, stored, ss);
    for (u64 c = 2; c < entries; ++c) {
      u32 value = 0;
      for (u32 b = 0; b < width; ++b) value |= u32(fat[c * width + b]) << (8 * b);
      bool used;
      if (fat32) {
        value &= 0x0FFFFFFF;
        used = (value >= 2 && value <= 0x0FFFFFEF) || value >= 0x0FFFFFF7;
      } else {
        used = (value >= 2 && value <= 0xFFEF) || value >= 0xFFF7;
      }
      if (used) spans.add(firstData + (c - 2) * spc, spc);
    }
  }
  spans.merge();
  return spans;
}

FUZZ_UNTRACKED void checkMap(const SectorMap& map, const Spans& expected) {
  FUZZ_CHECK(expected.runs.size() == map.size());
  for (u32 i = 0; i < map.size(); ++i) {
    const SectorRange& r = map[i];
    FUZZ_CHECK(r.numSectors > 0);
    FUZZ_CHECK(r.lastSector == u64(r.firstSector) + r.numSectors - 1);
    if (i > 0) FUZZ_CHECK(map[i - 1].lastSector + 1 < r.firstSector);  // ordered, apart
    FUZZ_CHECK(expected.runs[i].first == r.firstSector);
    FUZZ_CHECK(expected.runs[i].second == r.lastSector);
  }
}

FUZZ_UNTRACKED bool inMap(const SectorMap& map, u64 s) {
  for (const SectorRange& r : map) {
    if (s >= r.firstSector && s <= r.lastSector) return true;
  }
  return false;
}

// The target disk after a restore: the mapped sectors as on the source, zero elsewhere.
FUZZ_UNTRACKED void checkRestored(const FakeDisk& from, const FakeDisk& to, const SectorMap& map) {
  const u32 ss = from.getSectorSize();
  for (const auto& stored : to.sectors()) {
    if (!inMap(map, stored.first)) FUZZ_CHECK(isZero(stored.second.data(), ss));
  }
  for (const SectorRange& r : map) {
    for (u64 s = r.firstSector; s <= r.lastSector; ++s) {
      const u8* a = from.sector(s);
      const u8* b = to.sector(s);
      FUZZ_CHECK(b != nullptr);  // every mapped sector is written
      FUZZ_CHECK(a ? std::memcmp(a, b, ss) == 0 : isZero(b, ss));
    }
  }
}

// Captures the disk, writes the image onto an empty disk of the same shape and checks
// that exactly the mapped sectors came across.
void captureAndRestore(const std::shared_ptr<FakeDisk>& disk, const SectorMap& map, bool allowBeyond) {
  static const std::string path = fuzz::scratchPath("drivemap");
  {
    fuzz::DirectImaging source(disk);
    const VantorErrorCodes code = source.capture(path, allowBeyond);
    // A drive whose map was accepted is captured, unless the map reaches past the drive.
    const bool beyond = map[map.size() - 1].lastSector >= disk->getSizeSectors();
    FUZZ_CHECK(code == (beyond ? ERR_VOLUME_TOO_LARGE : ERR_NONE));
    if (beyond) return;
  }
  auto target = std::make_shared<FakeDisk>(disk->getSectorSize(), disk->getSizeSectors());
  DiskDevice device("fuzz target", target);
  DiskImager imager(device);
  imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  bool compatible = true;
  FUZZ_CHECK(imager.checkImageCompatibility(path, compatible, false) && compatible);
  fuzz::DirectImaging restore(target);
  FUZZ_CHECK(restore.restore(path, true, false, nullptr) == ERR_NONE);
  std::remove(path.c_str());
  checkRestored(*disk, *target, map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  FuzzInput in(data, size);
  static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
  const u8 options = in.byte();
  const u32 ss = SECTOR_SIZES[options & 7];
  const bool allowBeyond = options & 0x08;
  const bool roundTrip = options & 0x10;
  const bool huge = options & 0x20;  // as many sectors as 32 bits can number
  const u32 maxSectors = LAST_SECTOR;
  Layout out(u64(maxSectors) * ss, ss);
  u32 sectors = 0;

  if (options == 0xFF) {  // the bytes as they stand
    std::size_t n = 0;
    const uint8_t* rest = in.rest(n);
    sectors = static_cast<u32>(std::min<u64>(maxSectors, n / ss + 9));
    out.copy(0, rest, n);
  } else {
    const u32 slack = in.byte();
    Entry entries[4];
    u64 cursor = 1;
    u64 end = 1;  // first sector past every structure laid out
    for (u32 i = 0; i < 4; ++i) {
      Entry& e = entries[i];
      const u8 kindByte = in.byte();
      const u32 kind = (kindByte + (i == 0 ? 1 : 0)) % 4;  // 0 empty, 1 FAT16, 2 FAT32, 3 other
      const u8 typeChoice = in.byte();
      const u8 placement = in.byte();
      const u32 where = in.u16le();
      e.sizeMode = in.byte();
      e.boot = kindByte & 0x80 ? 0x80 : 0;
      switch (placement % 4) {
        case 0: e.start = static_cast<u32>(std::min<u64>(cursor + where % 64, 0xFFFFFFFF)); break;
        case 1: e.start = where; break;
        case 2: e.start = where << 16 | in.u16le(); break;
        default: e.start = (i > 0 ? entries[i - 1].start : 0) + where % 4; break;
      }
      if (kind == 0) {  // an empty entry, now and then with a start sector all the same
        if (placement & 0x80) e.count = 0; else e.start = 0;
        continue;
      }
      if (kind == 3) {
        e.type = typeChoice & 0x80 ? typeChoice : FOREIGN_TYPES[typeChoice % 8];
        e.count = 1 + where % 256;
        continue;
      }
      e.type = kind == 1 ? FAT16_TYPES[typeChoice % 3] : FAT32_TYPES[typeChoice % 2];
      Volume& v = e.volume;
      v.fat32 = kind == 2;
      v.start = e.start;
      const u8 a = in.byte(), b = in.byte(), c = in.byte();
      v.spc = 1u << (a % 8);
      v.fats = 1 + (a >> 3) % 2;
      v.reserved = 1 + b % (v.fat32 ? 32 : 4);
      v.rootEntries = v.fat32 ? 0 : (c & 0x80 ? c : 16 * (1 + c % 32));
      const u32 width = v.fat32 ? 4 : 2;
      const u32 rootSectors = (v.rootEntries * 32 + 511) / 512;
      // The data area is kept small (the mapper never reads it, capture does) unless
      // asked for: the disk is as large as what lies on it.
      const u32 dataBudget = a & 0x80 ? maxSectors : SMALL_DATA_AREA;
      v.clusters = std::min<u32>(in.u16le() % 4096, dataBudget / v.spc);
      for (int pass = 0; pass < 2; ++pass) {  // fit the volume on the disk
        v.spf = std::max<u32>(1, ((v.clusters + 2) * width + 511) / 512);
        const u64 system = v.reserved + u64(v.fats) * v.spf + rootSectors;
        const u64 room = maxSectors > v.start + system ? maxSectors - v.start - system : 0;
        v.clusters = static_cast<u32>(std::min<u64>(v.clusters, room / v.spc));
      }
      v.firstData = v.start + v.reserved + v.fats * v.spf + rootSectors;
      v.naturalSize = v.firstData - v.start + v.clusters * v.spc;
      e.count = v.naturalSize;
      e.hasVolume = u64(v.start) + v.naturalSize <= maxSectors;
      if (e.hasVolume) {
        layoutVolume(out, ss, e, in);
        end = std::max<u64>(end, u64(v.start) + v.naturalSize);
        cursor = u64(v.start) + v.naturalSize;
      }
    }

    // Data in the gap after the MBR: whole sectors, or a single byte that is not zero.
    const u32 gapCount = in.below(4);
    for (u32 g = 0; g < gapCount; ++g) {
      const u32 s = 1 + in.below(GAP_LIMIT);
      const u8 how = in.byte();
      if (how & 1) {
        out.fill(u64(s) * ss, ss, how | 1);
      } else {
        out.fill(u64(s) * ss + in.below(ss), 1, how | 1);
      }
      end = std::max<u64>(end, s + 1);
    }

    sectors = huge ? LAST_SECTOR - slack : static_cast<u32>(std::min<u64>(maxSectors, end + slack));
    for (u32 i = 0; i < 4; ++i) {
      Entry& e = entries[i];
      if (e.type != 0 || e.count != 0) {
        switch (e.sizeMode % 4) {
          case 0: break;  // as laid out
          case 1: e.count = e.count > 8 ? e.count - e.sizeMode / 4 % 8 : e.count; break;
          case 2: e.count = in.u32le(); break;
          default:  // up to the drive's last sector, one short of it or one past it
            e.count = sectors - std::min(sectors, e.start) + in.below(3) - 1;
            break;
        }
      }
      const u64 entry = 446 + 16 * i;
      out.put8(entry, e.boot);
      out.put8(entry + 4, e.type);
      out.put32(entry + 8, e.start);
      out.put32(entry + 12, e.count);
    }
    out.put16(510, 0xAA55);
    out.corrupt(in);
  }

  auto disk = std::make_shared<FakeDisk>(ss, sectors);
  Layout::layOut(out.blocks(), *disk);
  disk->gate = [](Op, u32, u32 count) { return count <= TRANSFER_LIMIT; };

  SectorMap map;
  addSectorRange(map, makeSectorRange(7, 3));  // must survive a failure untouched
  u64 highest = 0;
  bool mapped = false;
  try {
    getDriveMap(*disk, map, highest, allowBeyond);
    mapped = true;
  } catch (const VantorException&) {
    FUZZ_CHECK(map.size() == 1 && map[0].firstSector == 7 && map[0].numSectors == 3);
  }
  if (!mapped) return 0;

  u64 expectedHighest = 0;
  checkMap(map, expectedMap(*disk, expectedHighest));
  FUZZ_CHECK(highest == expectedHighest);
  u64 used = 0;
  for (const SectorRange& r : map) used += r.numSectors;
  if (roundTrip && used * ss <= ROUND_TRIP_LIMIT) captureAndRestore(disk, map, allowBeyond);
  return 0;
}

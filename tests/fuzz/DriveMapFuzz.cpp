// The used-sector map of a drive built from the fuzzer's choices: an MBR with up to four
// entries, FAT16 and FAT32 volumes behind them (boot sector, FAT copies with runs of used
// entries and special values), data in the gap after the MBR, then a few bytes broken on
// purpose. The map must never crash, overflow or allocate without bound. When it fails,
// the caller's map stays as it was and the code is one the map documents. When it
// succeeds its ranges are ordered and apart, its highest volume sector is the table's,
// no volume reaches past the drive unless allowed, and it holds the MBR, the gap sectors
// with data and each volume's system area (boot sector, reserved sectors, FATs, root
// directory).
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), volumes allowed past the drive (bit 3), a disk of
//            2^32 sectors less the slack (bit 5)
//   slack:   sectors added after the last structure
//   4 entries: kind, size, placement, and for a FAT volume its shape and FAT entries
//   gap data: up to three sectors below 2048 with data
//   corruptions (corruptSectors)
#include <algorithm>
#include <memory>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/internal/DriveMap.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::test::FakeDisk;

namespace {

constexpr u64 LAST_SECTOR = 0xFFFFFFFF;
// The disk refuses longer transfers, as a device with a transfer limit would: a FAT that
// a broken boot sector claims to be gigabytes long then fails its read instead of filling
// memory (the mapper reads the whole FAT in one request).
constexpr u32 TRANSFER_LIMIT = 8192;  // sectors
constexpr u32 GAP_LIMIT = 2048;

void put(FakeDisk& disk, u64 offset, u64 value, u32 width) {
  for (u32 b = 0; b < width; ++b, value >>= 8) disk.put(offset + b, &value, 1);
}

// `width` bytes at `offset` of sector `s`, little-endian.
FUZZ_UNTRACKED u64 field(const FakeDisk& disk, u64 s, u64 offset, u32 width) {
  u64 v = 0;
  for (u32 b = width; b > 0; --b) v = v << 8 | disk.byteAt(s * disk.getSectorSize() + offset + b - 1);
  return v;
}

// A FAT volume at `start`; answers the sector past its end, or `start` when it does not
// fit below sector 2^32. The data area stays small (the mapper never reads it) unless
// asked for.
u64 layOutVolume(FuzzInput& in, FakeDisk& disk, u64 start, bool fat32) {
  const u32 ss = disk.getSectorSize();
  const u8 a = in.byte(), b = in.byte();
  const u32 spc = 1u << (a % 8), fats = 1 + (a >> 3) % 2, reserved = 1 + b % 32, width = fat32 ? 4 : 2;
  const u32 rootEntries = fat32 ? 0 : 16 * (1 + b / 32), clusters = in.u16le() % (a & 0x80 ? 4096 : 256 / spc + 1);
  const u32 spf = ((clusters + 2) * width + 511) / 512;
  const u64 fat = start + reserved, total = reserved + fats * spf + rootEntries / 16 + u64(clusters) * spc;
  if (start + total > LAST_SECTOR) return start;
  const bool small = total < 0x10000 && !fat32;  // the 16-bit total, else the 32-bit one
  put(disk, start * ss + 11, 512, 2);
  put(disk, start * ss + 13, spc, 1);
  put(disk, start * ss + 14, reserved, 2);
  put(disk, start * ss + 16, fats, 1);
  put(disk, start * ss + 17, rootEntries, 2);
  put(disk, start * ss + (small ? 19 : 32), total, small ? 2 : 4);
  put(disk, start * ss + (fat32 ? 36 : 22), spf, width);
  disk.put(start * ss + (fat32 ? 82 : 54), fat32 ? "FAT32   " : "FAT16   ", 8);
  put(disk, start * ss + 510, 0xAA55, 2);
  // Runs of entries, each linking to the next and the last holding a special value (end
  // of chain, bad, reserved, the last link, 1, free) or any value; the same in every copy.
  static const u32 ENDS[] = {0xFFFF, 0xFFF8, 0xFFF7, 0xFFF0, 0xFFEF, 1, 0, 0xFFF6};
  for (u32 n = in.below(8); n > 0; --n) {
    const u8 style = in.byte();
    const u32 first = 2 + in.below(clusters + 2), length = 1 + in.below(24);
    for (u32 c = first; c < first + length; ++c) {
      u64 value = c + 1 < first + length ? c + 1 : (style & 0x08 ? in.u16le() : ENDS[style % 8]);
      if (fat32) value = (value >= 0xFFF0 ? 0x0FFF0000 | value : value) | (style & 0x10 ? 0xF0000000 : 0);
      for (u32 copy = 0; copy < fats; ++copy) put(disk, (fat + u64(copy) * spf) * ss + u64(c) * width, value, width);
    }
  }
  return start + total;
}

// Whether one range of the map holds sectors `first` to `last` (it merges adjacent ones).
FUZZ_UNTRACKED bool holds(const SectorMap& map, u64 first, u64 last) {
  for (const SectorRange& r : map) {
    if (first >= r.firstSector && last <= r.lastSector) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  FuzzInput in(data, size);
  static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
  const u8 options = in.byte();
  const u32 ss = SECTOR_SIZES[options & 7];
  const bool allowBeyond = options & 0x08;
  FakeDisk staging(ss, 0);  // what is laid out, before the disk's size is known
  const u32 slack = in.byte();
  u64 end = 1, start[4] = {}, count[4] = {};  // end: the first sector past every structure
  u8 type[4] = {}, sizing[4] = {};
  static const u8 TYPES[] = {0x06, 0x0E, 0x04, 0x0C, 0x0B};
  for (u32 i = 0; i < 4; ++i) {
    const u8 kind = in.byte();
    sizing[i] = in.byte();
    start[i] = kind & 0x40 ? in.u32le() : end + in.byte() % 64;
    const u32 k = (kind + (i == 0 ? 1 : 0)) % 4;  // empty (now and then with a start), FAT, any other type
    type[i] = k == 3 ? in.byte() : (k == 0 ? 0 : TYPES[kind / 4 % 5]);
    if (k == 0 && !(kind & 0x80)) start[i] = 0;
    const bool fat = k == 1 || k == 2;
    count[i] = fat ? layOutVolume(in, staging, start[i], type[i] == 0x0B || type[i] == 0x0C) - start[i] : in.byte();
    end = std::max(end, start[i] + count[i]);
  }
  // Data in the gap after the MBR, anywhere below 2048 or just before the first entry's
  // start: a whole sector, or a single byte that is not zero.
  for (u32 n = in.below(4); n > 0; --n) {
    const u8 how = in.byte();
    const u64 s = how & 2 ? std::max<u64>(1, start[0] - std::min<u64>(start[0], 1 + how / 64)) : 1 + in.below(GAP_LIMIT);
    const u32 from = how & 1 ? 0 : in.below(ss);
    for (u32 k = from; k < (how & 1 ? ss : from + 1); ++k) put(staging, u64(s) * ss + k, how | 1, 1);
    end = std::max(end, s + 1);
  }
  const u64 sectors = options & 0x20 ? LAST_SECTOR - slack : std::min(LAST_SECTOR, end + slack);
  for (u32 i = 0; i < 4; ++i) {  // the size as laid out, any, or up to the drive's end, one short or past it
    if (sizing[i] % 4 == 1) count[i] = in.u32le();
    if (sizing[i] % 4 == 2) count[i] = sectors - std::min(sectors, start[i]) + in.below(3) - 1;
    put(staging, 446 + 16 * i, sizing[i] & 0x80, 1);
    put(staging, 450 + 16 * i, type[i], 1);
    put(staging, 454 + 16 * i, start[i], 4);
    put(staging, 458 + 16 * i, count[i], 4);
  }
  put(staging, 510, 0xAA55, 2);
  fuzz::corruptSectors(in, staging);
  FakeDisk disk(ss, static_cast<u32>(std::min(sectors, LAST_SECTOR)));
  for (const auto& s : staging.sectors()) disk.put(s.first * ss, s.second);
  disk.gate = [](FakeDisk::Op, u32, u32 count) { return count <= TRANSFER_LIMIT; };

  SectorMap map;
  addSectorRange(map, makeSectorRange(7, 3));  // must survive a failure untouched
  u64 highest = 0;
  try {
    getDriveMap(disk, map, highest, allowBeyond);
  } catch (const VantorException& x) {
    FUZZ_CHECK(map.size() == 1 && map[0].firstSector == 7 && map[0].numSectors == 3);
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || code == ERR_DISK_ACCESS || code == ERR_GENERAL ||
               (code == ERR_VOLUME_EXCEEDS_DRIVE && !allowBeyond) || code == ERR_UNSUPPORTED_SECTOR_SIZE);
    FUZZ_CHECK((code == ERR_UNSUPPORTED_SECTOR_SIZE) == (ss < 512));
    return 0;
  }
  // Ordered ranges apart from each other; the MBR, the gap sectors holding data (before
  // the first start sector of any entry, below 2048 and the drive's end; all up to 2048
  // without one), and each volume's system area.
  FUZZ_CHECK(ss >= 512 && holds(map, 0, 0));
  for (u32 i = 0; i < map.size(); ++i) {
    FUZZ_CHECK(map[i].numSectors > 0 && map[i].lastSector == u64(map[i].firstSector) + map[i].numSectors - 1);
    FUZZ_CHECK(i == 0 || map[i - 1].lastSector + 1 < map[i].firstSector);
  }
  u64 gapEnd = std::min<u64>(GAP_LIMIT, disk.getSizeSectors()), expectedHighest = 0;
  bool anyStart = false;
  for (u32 i = 0; i < 4; ++i) {
    const u64 type = field(disk, 0, 450 + 16 * i, 1), start = field(disk, 0, 454 + 16 * i, 4);
    gapEnd = std::min(gapEnd, start == 0 ? gapEnd : start);
    anyStart = anyStart || start != 0;
    if (type == 0) continue;
    expectedHighest = std::max(expectedHighest, start + field(disk, 0, 458 + 16 * i, 4) - 1);
    const bool fat32 = type == 0x0B || type == 0x0C;
    const u64 fats = field(disk, start, 16, 1) * field(disk, start, fat32 ? 36 : 22, fat32 ? 4 : 2);
    const u64 root = fat32 ? 0 : (field(disk, start, 17, 2) * 32 + 511) / 512;
    FUZZ_CHECK(holds(map, start, start + field(disk, start, 14, 2) + fats + root - 1));
  }
  FUZZ_CHECK(highest == expectedHighest && (allowBeyond || highest < disk.getSizeSectors()));
  FUZZ_CHECK(anyStart || holds(map, 1, GAP_LIMIT));
  for (auto s = disk.sectors().upper_bound(0); anyStart && s != disk.sectors().end() && s->first < gapEnd; ++s) {
    const bool data = std::any_of(s->second.begin(), s->second.end(), [](u8 x) { return x != 0; });
    FUZZ_CHECK(!data || holds(map, s->first, s->first));
  }
  return 0;
}

// The used-sector map of a drive built from the fuzzer's choices: an MBR with up to four
// entries, FAT16 and FAT32 volumes behind them (boot sector, FAT copies with runs of used
// entries and special values), then a few bytes broken on purpose. The map must never
// crash, overflow or allocate without bound; when it fails, the code is one the map
// documents, and when it succeeds it starts with the MBR. What a map holds (the runs,
// the gap after the MBR, each volume's system area and used clusters, the highest volume
// sector and the drive's end, the caller's map after a failure) is DriveMapTest's, on
// layouts made for each rule.
//
// The same drive also goes through the map of every volume (EveryVolumeMap), which must
// not fail where a volume is merely unknown or damaged.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), volumes allowed past the drive (bit 3), a disk of
//            2^32 sectors less the slack (bit 5)
//   slack:   sectors added after the last structure
//   4 entries: kind, size, placement, and for a FAT volume its shape and FAT entries
//   corruptions (corruptSectors)
#include <algorithm>

#include <libVantor/internal/DriveMap.h>
#include <libVantor/internal/EveryVolumeMap.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr u64 LAST_SECTOR = 0xFFFFFFFF;
// The disk refuses longer transfers, as a device with a transfer limit would: a FAT that
// a broken boot sector claims to be gigabytes long then fails its read instead of filling
// memory (the mapper reads the whole FAT in one request).
constexpr u32 TRANSFER_LIMIT = 8192;  // sectors

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
  putLE(disk, start * ss + 11, 512, 2);
  putLE(disk, start * ss + 13, spc, 1);
  putLE(disk, start * ss + 14, reserved, 2);
  putLE(disk, start * ss + 16, fats, 1);
  putLE(disk, start * ss + 17, rootEntries, 2);
  putLE(disk, start * ss + (small ? 19 : 32), total, small ? 2 : 4);
  putLE(disk, start * ss + (fat32 ? 36 : 22), spf, width);
  disk.put(start * ss + (fat32 ? 82 : 54), fat32 ? "FAT32   " : "FAT16   ", 8);
  putLE(disk, start * ss + 510, 0xAA55, 2);
  // Runs of entries holding one value each (free, used, bad, reserved or end of chain as
  // it falls), the same in every copy.
  for (u32 n = in.below(8); n > 0; --n) {
    const u32 first = 2 + in.below(clusters + 2), length = 1 + in.below(24), value = in.u32le();
    for (u32 c = first; c < first + length; ++c) {
      for (u32 copy = 0; copy < fats; ++copy) putLE(disk, (fat + u64(copy) * spf) * ss + u64(c) * width, value, width);
    }
  }
  return start + total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
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
  const u64 sectors = options & 0x20 ? LAST_SECTOR - slack : std::min(LAST_SECTOR, end + slack);
  for (u32 i = 0; i < 4; ++i) {  // the size as laid out, any, or up to the drive's end, one short or past it
    if (sizing[i] % 4 == 1) count[i] = in.u32le();
    if (sizing[i] % 4 == 2) count[i] = sectors - std::min(sectors, start[i]) + in.below(3) - 1;
    putEntry(staging, 446 + 16 * i, sizing[i] & 0x80, type[i], u32(start[i]), u32(count[i]));
  }
  putLE(staging, 510, 0xAA55, 2);
  fuzz::corruptSectors(in, staging);
  FakeDisk disk(ss, static_cast<u32>(std::min(sectors, LAST_SECTOR)));
  for (const auto& s : staging.sectors()) disk.put(s.first * ss, s.second);
  disk.gate = [](FakeDisk::Op, u32, u32 count) { return count <= TRANSFER_LIMIT; };

  // The map of every volume reads the same drive: by content, with other mappers, and a
  // volume no mapper takes is copied whole rather than failing the map.
  try {
    const EveryVolumeMap every = mapEveryVolume(disk, allowBeyond);
    FUZZ_CHECK(ss >= 512 && !every.map.empty() && every.map[0].firstSector == 0);
    for (const DRIVE_VOLUME& v : every.layout.volumes) FUZZ_CHECK(v.copiedWhole == !v.reason.empty());
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || code == ERR_DISK_ACCESS || code == ERR_INVALID_ARGUMENT ||
               (code == ERR_VOLUME_EXCEEDS_DRIVE && !allowBeyond) || code == ERR_UNSUPPORTED_SECTOR_SIZE);
  }

  SectorMap map;
  u64 highest = 0;
  try {
    getDriveMap(disk, map, highest, allowBeyond);
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || code == ERR_DISK_ACCESS || code == ERR_GENERAL ||
               (code == ERR_VOLUME_EXCEEDS_DRIVE && !allowBeyond) || code == ERR_UNSUPPORTED_SECTOR_SIZE);
    FUZZ_CHECK((code == ERR_UNSUPPORTED_SECTOR_SIZE) == (ss < 512));
    return 0;
  }
  FUZZ_CHECK(ss >= 512 && !map.empty() && map[0].firstSector == 0);
  return 0;
}

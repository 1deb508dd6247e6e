// Partition tables built from the fuzzer's choices: four primary entries, a chain of
// extended boot records behind the first extended entry, a few bytes broken on purpose.
// On that disk the core MBR reader (readMbrLayout) runs, with one of its reads failing
// now and then. Its outcome is checked against what the bytes on the disk call for: it
// reads nothing outside the disk and at most 257 sectors, fails only on a failed read,
// answers NoTable, Gpt or the primary entries exactly as the sector holds them, numbers
// the logical partitions from 5 on, and finds every partition of a chain laid out sound.
// (MBRPartitions, which only copies sector 0's and sector 2's entries, has its rules in
// MBRPartitionsTest.)
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), no boot signature (bit 3)
//   faults:  bit 0: a read of the reader fails; the rest: which one
//   slack, 4 primary entries, the chain, corruptions (corruptSectors)
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <libVantor/internal/MbrLayout.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr u32 DISK_SECTORS_LIMIT = 1u << 20;  // sparse: a disk costs what lies on it
constexpr u32 TABLE = 446;
constexpr u32 CHAIN_LIMIT = 256;
const u8 TYPES[] = {0x06, 0x0C, 0x07, 0x83, 0x0B, 0x0E, 0x04, 0x01, 0x05, 0x0F, 0x85, 0xEE, 0x00};

using Entry = std::array<u8, 16>;
using Table = std::array<Entry, 4>;

bool isExtended(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }
u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
u32 startOf(const Entry& e) { return le32(e.data() + 8); }
u32 countOf(const Entry& e) { return le32(e.data() + 12); }

// The four entries at byte 446 of the disk: sector 0's (the reader refuses sectors of
// fewer than 512 bytes).
Table tableOf(const FakeDisk& disk) {
  Table t{};
  std::memcpy(t.data(), disk.read(TABLE, 64).data(), 64);
  return t;
}

// The disk's size, and the logical partitions of the chain when it was laid out sound:
// signatures in place, links onwards and of an extended type inside the first extended
// partition, which has the entry the reader takes; no protective entry, no damage.
struct Built {
  u32 sectors = 0;
  bool sound = false;
  std::vector<MbrPartition> logical;
};

Built build(FuzzInput& in, u8 options, FakeDisk& disk) {
  const u32 ss = disk.getSectorSize();
  Built b;
  const u32 slack = in.byte();
  u64 end = 1;
  int ext = -1;  // the first extended entry
  for (u32 i = 0; i < 4; ++i) {
    const u8 kind = in.byte(), sizing = in.byte();
    const u32 pick = (kind + (i == 0 ? 0 : 12)) % 16;  // slot 0 holds a partition by default, the others none
    const u8 type = pick < 13 ? TYPES[pick] : in.byte();
    const u32 start = kind & 0x40 ? in.u32le() : 63 + in.byte() * 64u;
    const u32 count = sizing % 4 == 0 ? 1 + sizing : (sizing % 4 == 1 ? in.u16le() : in.u32le());
    putEntry(disk, TABLE + 16 * i, kind & 0x80, type, start, count);
    if (isExtended(type) && ext < 0) ext = static_cast<int>(i);
    if (isExtended(type) && int(i) == ext) b.sound = sizing % 4 == 0 && start != 0;  // counted below
  }
  Table t = tableOf(disk);
  // The chain: each record holds a logical partition (relative to the record) and a link
  // to the next record (relative to the extended partition's start), onwards unless the
  // input asks for a link anywhere, of another type, or from the last record.
  const u8 chainChoice = in.byte();
  const u32 links = ext < 0 ? 0 : (chainChoice >= 0xF8 ? 250 + chainChoice % 8 * 3 : chainChoice % 12);
  u64 offset = 0, reach = 1;
  for (u32 k = 0; k < links; ++k) {
    const u8 type = in.byte(), size = in.byte(), link = in.byte();
    const u64 record = u64(startOf(t[ext])) + offset;
    const u32 rel = 1 + link % 4, count = type & 0x80 ? 0 : 1 + size;
    putEntry(disk, record * ss + TABLE, 0, TYPES[type % 13], rel, count);
    if (!(link & 0x10)) disk.put(record * ss + 510, "\x55\xAA", 2);
    if (k < CHAIN_LIMIT && !(link & 0x10) && TYPES[type % 13] != 0 && count != 0) {
      b.logical.push_back({0, TYPES[type % 13], record + rel, count});
    }
    b.sound = b.sound && !(link & 0x1C) && record < DISK_SECTORS_LIMIT;
    reach = std::max(reach, offset + rel + count);
    end = std::max(end, record + 1);
    const u64 next = link & 0x08 ? in.u16le() : offset + rel + count + (link >> 5);  // anywhere, or onwards
    if (k + 1 == links && !(link & 0x04)) break;  // the last record links nowhere
    putEntry(disk, record * ss + TABLE + 16, 0, link & 0x04 ? 0x83 : 0x05, static_cast<u32>(next), rel + count);
    reach = std::max(reach, next + 1);
    offset = next;
  }
  if (b.sound) putEntry(disk, TABLE + 16 * ext, t[ext][0], t[ext][4], startOf(t[ext]), static_cast<u32>(reach));

  b.sectors = static_cast<u32>(std::min<u64>(DISK_SECTORS_LIMIT, end + slack));
  if (!(options & 0x08)) disk.put(510, "\x55\xAA", 2);
  t = tableOf(disk);
  const bool gpt = std::any_of(t.begin(), t.end(), [](const Entry& e) { return e[4] == 0xEE; });
  b.sound = b.sound && !gpt && !(options & 0x08) && ss >= 512 && startOf(t[ext]) < b.sectors;
  if (fuzz::corruptSectors(in, disk) > 0) b.sound = false;
  return b;
}

// Where readMbrLayout must leave the logical partitions found: numbered from 5, at or
// after the first extended partition's start, inside the disk; all of a sound chain's.
FUZZ_UNTRACKED void checkLayout(FakeDisk& disk, const Built& built, bool faultsPossible) {
  std::vector<MbrPartition> parts{{9, 9, 9, 9}};
  const MbrLayoutKind kind = readMbrLayout(disk, parts);
  FUZZ_CHECK(!disk.requestPastEnd && disk.count(Op::Read) <= 1 + CHAIN_LIMIT);
  // (After a failed read of the chain the vector may hold what was read before it.)
  if (kind == MbrLayoutKind::NoTable || kind == MbrLayoutKind::Gpt) FUZZ_CHECK(parts.empty());
  if (disk.getSectorSize() < 512 || kind == MbrLayoutKind::Unreadable) {
    FUZZ_CHECK(kind == MbrLayoutKind::Unreadable && (faultsPossible || disk.getSectorSize() < 512));
    return;
  }
  const Table t = tableOf(disk);
  const bool gpt = std::any_of(t.begin(), t.end(), [](const Entry& e) { return e[4] == 0xEE; });
  const bool signature = disk.byteAt(510) == 0x55 && disk.byteAt(511) == 0xAA;
  FUZZ_CHECK(kind == (!signature ? MbrLayoutKind::NoTable : (gpt ? MbrLayoutKind::Gpt : MbrLayoutKind::Mbr)));
  if (kind != MbrLayoutKind::Mbr) return;
  // The primary entries exactly, then the logical ones: numbered on from 5, inside the
  // disk, at or after the first extended partition's start; a sound chain's exactly.
  const u64 sectors = disk.getSizeSectors();
  std::vector<MbrPartition> want;
  u64 extendedStart = ~u64(0);
  for (u32 slot = 0; slot < 4; ++slot) {
    if (t[slot][4] == 0 || countOf(t[slot]) == 0 || startOf(t[slot]) >= sectors) continue;
    want.push_back({slot + 1, t[slot][4], startOf(t[slot]), countOf(t[slot])});
    if (isExtended(t[slot][4])) extendedStart = std::min<u64>(extendedStart, startOf(t[slot]));
  }
  const std::size_t primaries = want.size();
  for (const MbrPartition& p : built.logical) {
    if (!built.sound || p.startSector >= sectors) continue;
    want.push_back({static_cast<u32>(want.size() - primaries + 5), p.type, p.startSector, p.sectorCount});
  }
  FUZZ_CHECK(parts.size() >= primaries && parts.size() - primaries <= CHAIN_LIMIT);
  FUZZ_CHECK(!built.sound || parts.size() == want.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const MbrPartition& p = parts[i];
    const MbrPartition w = i < want.size() ? want[i] : MbrPartition{static_cast<u32>(i - primaries + 5), p.type,
                                                                    p.startSector, p.sectorCount};
    FUZZ_CHECK(p.number == w.number && p.type == w.type && p.startSector == w.startSector);
    FUZZ_CHECK(p.sectorCount == w.sectorCount && (i < primaries || (p.type != 0 && p.sectorCount != 0)));
    FUZZ_CHECK(i < primaries || (p.startSector < sectors && p.startSector >= extendedStart));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
  const u8 options = in.byte();
  const u8 faults = in.byte();
  const u32 ss = SECTOR_SIZES[options & 7];
  FakeDisk staging(ss, 0);  // what is laid out, before the disk's size is known
  const Built built = build(in, options, staging);
  FakeDisk disk(ss, built.sectors);
  for (const auto& s : staging.sectors()) disk.put(s.first * ss, s.second);

  // The reader, with one of its reads failing now and then.
  u32 reads = 0;
  disk.gate = [&](Op op, u32, u32) { return op != Op::Read || faults % 2 == 0 || ++reads != faults / 2u + 1; };
  checkLayout(disk, built, faults % 2 == 1);
  return 0;
}

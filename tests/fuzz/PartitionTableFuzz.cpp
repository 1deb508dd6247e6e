// Partition tables built from the fuzzer's choices: four primary entries, a chain of
// extended boot records behind the first extended entry, the backup partitions sector,
// a few bytes broken on purpose. On that disk the core MBR reader (readMbrLayout) runs,
// with one of its reads failing now and then, and MBRPartitions runs through a sequence
// of operations chosen by the input: refresh, selecting and restoring backup entries by
// index and type, storing a new backup sector. Each outcome is checked against what the
// bytes on the disk call for:
// - readMbrLayout reads nothing outside the disk and at most 257 sectors, fails only on a
//   failed read, answers NoTable, Gpt or the primary entries exactly as the sector holds
//   them, numbers the logical partitions from 5 on, and finds every partition of a chain
//   laid out sound;
// - MBRPartitions holds sector 0's entries, and sector 2's once they hold every used one
//   of them; it refuses what it documents before touching the disk, writes only the
//   chosen entries into sector 0 (boot code and signature kept), mounts after every
//   dismount, and keeps its own state until refresh; the backup sector it makes holds
//   the table as last read.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), no boot signature (bit 3), boot code (bit 4),
//            backup sector (bit 5)
//   faults:  bit 0: a read of the reader fails; the rest: which one
//   slack, 4 primary entries, the chain, the backup sector, corruptions
//   (corruptSectors), then up to eight operations
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <boost/optional.hpp>
#include <libVantor/MBRPartitions.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/MbrLayout.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::test::FakeDisk;
using Op = vantor::test::FakeDisk::Op;

namespace {

constexpr u32 DISK_SECTORS_LIMIT = 1u << 20;  // sparse: a disk costs what lies on it
constexpr u32 TABLE = 446;
constexpr u32 BACKUP_SECTOR = 2;
constexpr u32 BACKUP_ENTRIES = 48;
constexpr u32 CHAIN_LIMIT = 256;
const char MAGIC[] = "VRK-MBR-PARTS";  // with its zero byte
const u8 TYPES[] = {0x06, 0x0C, 0x07, 0x83, 0x0B, 0x0E, 0x04, 0x01, 0x05, 0x0F, 0x85, 0xEE, 0x00};

using Entry = std::array<u8, 16>;
using Table = std::array<Entry, 4>;

bool isExtended(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }
u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
u32 startOf(const Entry& e) { return le32(e.data() + 8); }
u32 countOf(const Entry& e) { return le32(e.data() + 12); }

// Sector `s` of the disk, zeros where nothing is stored; at least 512 bytes (zeros past
// a smaller sector), as the readers' buffers.
std::vector<u8> sectorOf(const FakeDisk& disk, u64 s) {
  std::vector<u8> out(std::max<u32>(512, disk.getSectorSize()), 0);
  if (const u8* stored = disk.sector(s)) std::memcpy(out.data(), stored, disk.getSectorSize());
  return out;
}

// The four entries at `offset` of sector `s`.
Table tableAt(const FakeDisk& disk, u64 s, u32 offset) {
  Table t{};
  std::memcpy(t.data(), sectorOf(disk, s).data() + offset, 64);
  return t;
}

void putEntry(FakeDisk& disk, u64 offset, u8 boot, u8 type, u32 start, u32 count) {
  const u8 bytes[16] = {boot, 0, 0, 0, type, 0, 0, 0, u8(start), u8(start >> 8), u8(start >> 16), u8(start >> 24),
                        u8(count), u8(count >> 8), u8(count >> 16), u8(count >> 24)};
  disk.put(offset, bytes, 16);
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
  if (options & 0x10) disk.fill(0, 0xFA, TABLE);  // boot code
  const u32 slack = in.byte();
  u64 end = 3;  // sector 2 exists
  Table t{};
  int ext = -1;  // the first extended entry
  for (u32 i = 0; i < 4; ++i) {
    const u8 kind = in.byte(), sizing = in.byte();
    const u32 pick = (kind + (i == 0 ? 0 : 12)) % 16;  // slot 0 holds a partition by default, the others none
    const u8 type = pick < 13 ? TYPES[pick] : in.byte();
    const u32 start = kind & 0x40 ? in.u32le() : 63 + in.byte() * 64u;
    const u32 count = sizing % 4 == 0 ? 1 + sizing : (sizing % 4 == 1 ? in.u16le() : in.u32le());
    putEntry(disk, TABLE + 16 * i, kind & 0x80, type, start, count);
    if (isExtended(type) && ext < 0) ext = static_cast<int>(i);
    if (isExtended(type) && int(i) == ext) b.sound = sizing % 4 == 0 && start >= 3;  // counted below
  }
  t = tableAt(disk, 0, TABLE);
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

  // The backup sector: the table's entries rotated, and one of them replaced now and then.
  if (options & 0x20) {
    const u8 how = in.byte();
    const u64 at = u64(BACKUP_SECTOR) * ss + BACKUP_ENTRIES;
    disk.put(at - BACKUP_ENTRIES, MAGIC, 14);
    for (u32 i = 0; i < 4; ++i) disk.put(at + 16 * i, disk.read(TABLE + 16 * ((i + how) % 4), 16));
    if (how & 0x80) putEntry(disk, at + 16 * (how / 4 % 4), 0, TYPES[how / 16 % 13], in.u16le(), in.u16le());
  }
  b.sectors = static_cast<u32>(std::min<u64>(DISK_SECTORS_LIMIT, end + slack));
  if (!(options & 0x08)) disk.put(510, "\x55\xAA", 2);
  t = tableAt(disk, 0, TABLE);
  const bool gpt = std::any_of(t.begin(), t.end(), [](const Entry& e) { return e[4] == 0xEE; });
  b.sound = b.sound && !gpt && !(options & 0x08) && ss >= 512 && startOf(t[ext]) < b.sectors;
  if (fuzz::corruptSectors(in, disk) > 0) b.sound = false;
  return b;
}

// Where readMbrLayout must leave the logical partitions found: numbered from 5, at or
// after the first extended partition's start, inside the disk; all of a sound chain's.
FUZZ_UNTRACKED void checkLayout(FakeDisk& disk, const Built& built, bool faultsPossible) {
  const u32 readsBefore = disk.count(Op::Read);
  std::vector<MbrPartition> parts{{9, 9, 9, 9}};
  const MbrLayoutKind kind = readMbrLayout(disk, parts);
  FUZZ_CHECK(!disk.requestPastEnd && disk.count(Op::Read) - readsBefore <= 1 + CHAIN_LIMIT);
  // (After a failed read of the chain the vector may hold what was read before it.)
  if (kind == MbrLayoutKind::NoTable || kind == MbrLayoutKind::Gpt) FUZZ_CHECK(parts.empty());
  if (disk.getSectorSize() < 512 || kind == MbrLayoutKind::Unreadable) {
    FUZZ_CHECK(kind == MbrLayoutKind::Unreadable && (faultsPossible || disk.getSectorSize() < 512));
    return;
  }
  const Table t = tableAt(disk, 0, TABLE);
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

// What MBRPartitions must hold after reading the disk: sector 0's entries, and sector 2's
// when they hold every used entry of sector 0 (type, start and count); else what it had.
FUZZ_UNTRACKED void checkState(const MBRPartitions& p, const FakeDisk& disk, boost::optional<Table>& backup) {
  const Table table = tableAt(disk, 0, TABLE), candidates = tableAt(disk, BACKUP_SECTOR, BACKUP_ENTRIES);
  bool any = false;
  bool all = disk.read(u64(BACKUP_SECTOR) * disk.getSectorSize(), 14) == std::vector<u8>(MAGIC, MAGIC + 14);
  for (const Entry& e : table) {
    any = any || e[4] != 0;
    all = all && (e[4] == 0 || std::any_of(candidates.begin(), candidates.end(), [&](const Entry& c) {
                    return c[4] == e[4] && startOf(c) == startOf(e) && countOf(c) == countOf(e);
                  }));
  }
  if (any && all) backup = candidates;
  FUZZ_CHECK(p.partitionTable().size() == 4 && std::memcmp(p.partitionTable().data(), table.data(), 64) == 0);
  FUZZ_CHECK(p.backupPartitionTable().has_value() == backup.has_value());
  FUZZ_CHECK(!backup || std::memcmp(p.backupPartitionTable()->data(), backup->data(), 64) == 0);
  FUZZ_CHECK(p.backupPartitionsAndMBRMatch() == (backup && *backup == table));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
  FuzzInput in(data, size);
  const u8 options = in.byte();
  const u8 faults = in.byte();
  const u32 ss = SECTOR_SIZES[options & 7];
  FakeDisk staging(ss, 0);  // what is laid out, before the disk's size is known
  const Built built = build(in, options, staging);
  auto disk = std::make_shared<FakeDisk>(ss, built.sectors);
  for (const auto& s : staging.sectors()) disk->put(s.first * ss, s.second);

  // The reader, with one of its reads failing now and then.
  u32 reads = 0;
  disk->gate = [&](Op op, u32, u32) { return op != Op::Read || faults % 2 == 0 || ++reads != faults / 2u + 1; };
  checkLayout(*disk, built, faults % 2 == 1);
  disk->gate = nullptr;

  // MBRPartitions: each operation, then a refresh that reads back what it wrote.
  boost::optional<MBRPartitions> partitions;
  try {
    partitions.emplace(disk);
  } catch (const VantorException& e) {
    FUZZ_CHECK(ss < 512 && e.getErrorCode() == ERR_UNSUPPORTED_SECTOR_SIZE);
    return 0;
  }
  boost::optional<Table> backup;
  checkState(*partitions, *disk, backup);
  for (u32 operations = in.below(5); operations > 0; --operations) {
    const u8 op = in.byte();
    std::vector<u8> want = sectorOf(*disk, 0);
    const u32 writes = disk->count(Op::Write);
    // All backup entries, or entry `index` alone in slot 0, made bootable; a refusal for
    // no backup, no such entry, an empty one or one at sector 0.
    const bool all = op % 4 == 0;
    u32 index = op % 4 == 1 ? in.below(6) : 4;
    const u8 type = op % 4 == 2 ? in.byte() : 0;
    for (u32 i = 4; op % 4 == 2 && backup && i > 0; --i) {
      if ((*backup)[i - 1][4] == type) index = i - 1;  // the first of the type
    }
    const bool missing = !backup || index >= 4 || (*backup)[index][4] == 0 || startOf((*backup)[index]) == 0;
    const bool refused = op % 4 != 3 && (!backup || (!all && missing));
    VantorErrorCodes thrown = ERR_NONE;
    try {
      if (op % 4 == 0) partitions->restoreBackupPartitions();
      if (op % 4 == 1) partitions->selectBackupPartition(index);
      if (op % 4 == 2) partitions->selectBackupPartitionByType(type);
      if (op % 4 == 3) {  // a new backup sector for the current table, stored where it says
        const auto made = partitions->createBackupMBRPartitionsSector();
        std::vector<u8> sector(ss, 0);
        std::memcpy(sector.data(), MAGIC, 14);
        std::memcpy(sector.data() + BACKUP_ENTRIES, partitions->partitionTable().data(), 64);
        FUZZ_CHECK(made.first == BACKUP_SECTOR && std::memcmp(made.second.data(), sector.data(), ss) == 0);
        FUZZ_CHECK(made.second.size() == ss && disk->writeSectors(made.first, made.second.data(), 1));
      }
    } catch (const VantorException& e) {
      thrown = e.getErrorCode();
    }
    // A refusal touches nothing; a selection writes sector 0 once, boot code and signature kept.
    if (!refused && op % 4 != 3) {
      std::fill(want.begin() + TABLE, want.begin() + TABLE + 64, 0);
      std::memcpy(want.data() + TABLE, all ? backup->data()->data() : (*backup)[index].data(), all ? 64 : 16);
      want[TABLE] = all ? want[TABLE] : 0x80;
    }
    FUZZ_CHECK(thrown == (refused ? ERR_INVALID_ARGUMENT : ERR_NONE) && sectorOf(*disk, 0) == want);
    FUZZ_CHECK(disk->count(Op::Write) == writes + (refused ? 0 : 1));
    FUZZ_CHECK(disk->count(Op::Dismount) == disk->count(Op::Mount));
    partitions->refresh();
    checkState(*partitions, *disk, backup);
  }
  return 0;
}

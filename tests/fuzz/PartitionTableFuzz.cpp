// Partition tables built from the fuzzer's choices: four primary entries, a chain of
// extended boot records behind the first extended entry, the backup partitions sector,
// a few fields broken on purpose, and reads, writes or the dismount failing now and
// then. On that disk the core MBR reader (readMbrLayout) and MBRPartitions run, the
// latter through a sequence of operations chosen by the input: refresh, selecting and
// restoring backup entries by index, type, kind and name, and storing a new backup
// sector. Each outcome is checked against what the bytes on the disk call for:
// - readMbrLayout reads nothing outside the disk and at most 257 sectors, answers
//   NoTable, Gpt or the primary entries exactly as the sector holds them, numbers the
//   logical partitions from 5 on, and finds every partition of a sound chain;
// - MBRPartitions holds sector 0's entries and the backup entries exactly when sector 2
//   matches them, refuses what it documents with the documented code before touching
//   the disk, writes only sector 0 (boot code and signature kept, the chosen entries in
//   their slots), dismounts before it and always mounts after, and keeps its own state
//   until refresh.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), no boot signature (bit 3), boot code (bit 4),
//            backup sector (bit 5); 0xFF copies the rest of the input to the disk instead
//   faults:  which read or write fails (bits 0-1: none, a read, a write, the dismount;
//            the rest: which one)
//   slack, 4 primary entries, the chain, the backup sector, corruptions
//   (Layout::corrupt), then up to eight operations
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <boost/optional.hpp>
#include <libVantor/MBRPartitions.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/MbrLayout.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::fuzz::Layout;
using vantor::test::FakeDisk;
using Op = vantor::test::FakeDisk::Op;

namespace {

constexpr u32 DISK_SECTORS_LIMIT = 1u << 20;  // sparse: a disk costs what lies on it
constexpr u32 TABLE = 446;
constexpr u32 BACKUP_SECTOR = 2;
constexpr u32 BACKUP_ENTRIES = 48;
constexpr u32 CHAIN_LIMIT = 256;

const u8 DATA_TYPES[] = {0x06, 0x0C, 0x07, 0x83, 0x0B, 0x0E, 0x04, 0x01};
const u8 EXTENDED_TYPES[] = {0x05, 0x0F, 0x85};
const u8 LOGICAL_TYPES[] = {0x83, 0x07, 0x06, 0x0C, 0x00, 0x05, 0x82, 0xEE};
const u8 SELECT_TYPES[] = {0x06, 0x0C, 0x00, 0x83, 0x07, 0x05};

using Entry = std::array<u8, 16>;
using Table = std::array<Entry, 4>;

bool isExtended(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }
u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
u32 startOf(const Entry& e) { return le32(e.data() + 8); }
u32 countOf(const Entry& e) { return le32(e.data() + 12); }

// Sector `s` of the disk, zeros where nothing is stored.
std::vector<u8> sectorBytes(const FakeDisk& disk, u64 s) {
  std::vector<u8> out(disk.getSectorSize(), 0);
  if (const u8* stored = disk.sector(s)) std::memcpy(out.data(), stored, out.size());
  return out;
}

Table tableAt(const std::vector<u8>& sector, u32 offset) {
  Table t{};
  for (u32 i = 0; i < 4; ++i) std::memcpy(t[i].data(), sector.data() + offset + 16 * i, 16);
  return t;
}

Entry entryOf(const PARTITION_TABLE_ENTRY& e) {
  Entry out;
  std::memcpy(out.data(), &e, 16);
  return out;
}

bool sameTable(const std::vector<PARTITION_TABLE_ENTRY>& entries, const Table& t) {
  if (entries.size() != 4) return false;
  for (u32 i = 0; i < 4; ++i) {
    if (entryOf(entries[i]) != t[i]) return false;
  }
  return true;
}

// What the builder knows about a chain it laid out whole: the logical partitions the
// reader must find, in order (type, absolute start, count).
struct Chain {
  bool sound = false;
  std::vector<MbrPartition> logical;
};

// ---- readMbrLayout ---------------------------------------------------------------

FUZZ_UNTRACKED void checkLayout(FakeDisk& disk, const Chain& chain, bool faultsPossible) {
  const u32 readsBefore = disk.count(Op::Read);
  std::vector<MbrPartition> parts{{9, 9, 9, 9}};
  const MbrLayoutKind kind = readMbrLayout(disk, parts);
  FUZZ_CHECK(!disk.requestPastEnd);
  FUZZ_CHECK(disk.count(Op::Read) - readsBefore <= 1 + CHAIN_LIMIT);
  const u32 ss = disk.getSectorSize();
  // (After a failed read of the chain the vector may hold what was read before it.)
  if (kind == MbrLayoutKind::NoTable || kind == MbrLayoutKind::Gpt) FUZZ_CHECK(parts.empty());
  if (ss < 512) {
    FUZZ_CHECK(kind == MbrLayoutKind::Unreadable);
    return;
  }
  if (kind == MbrLayoutKind::Unreadable) {
    FUZZ_CHECK(faultsPossible);
    return;
  }
  const std::vector<u8> mbr = sectorBytes(disk, 0);
  const bool signature = mbr[510] == 0x55 && mbr[511] == 0xAA;
  if (!signature) {
    FUZZ_CHECK(kind == MbrLayoutKind::NoTable);
    return;
  }
  const Table t = tableAt(mbr, TABLE);
  bool gpt = false;
  for (const Entry& e : t) gpt = gpt || e[4] == 0xEE;
  FUZZ_CHECK(kind == (gpt ? MbrLayoutKind::Gpt : MbrLayoutKind::Mbr));
  if (gpt) return;

  // The primary entries exactly; then logical ones numbered on from 5, inside the disk
  // and at or after the start of the extended partition.
  const u64 sectors = disk.getSizeSectors();
  std::size_t i = 0;
  u64 extendedStart = 0;
  bool extended = false;
  for (u32 slot = 0; slot < 4; ++slot) {
    const Entry& e = t[slot];
    if (e[4] == 0 || countOf(e) == 0 || startOf(e) >= sectors) continue;
    FUZZ_CHECK(i < parts.size());
    FUZZ_CHECK(parts[i].number == slot + 1 && parts[i].type == e[4]);
    FUZZ_CHECK(parts[i].startSector == startOf(e) && parts[i].sectorCount == countOf(e));
    if (isExtended(e[4]) && !extended) extended = true, extendedStart = startOf(e);
    ++i;
  }
  const std::size_t primaries = i;
  FUZZ_CHECK(parts.size() - primaries <= CHAIN_LIMIT);
  if (!extended) FUZZ_CHECK(parts.size() == primaries);
  for (; i < parts.size(); ++i) {
    const MbrPartition& p = parts[i];
    FUZZ_CHECK(p.number == 5 + (i - primaries));
    FUZZ_CHECK(p.type != 0 && p.sectorCount != 0 && p.startSector < sectors && p.startSector >= extendedStart);
  }
  if (chain.sound) {
    FUZZ_CHECK(parts.size() - primaries == chain.logical.size());
    for (std::size_t k = 0; k < chain.logical.size(); ++k) {
      const MbrPartition& p = parts[primaries + k];
      FUZZ_CHECK(p.type == chain.logical[k].type && p.startSector == chain.logical[k].startSector &&
                 p.sectorCount == chain.logical[k].sectorCount);
    }
  }
}

// ---- MBRPartitions --------------------------------------------------------------

// The state MBRPartitions must be in, kept from the disk's bytes.
struct Model {
  Table table{};
  boost::optional<Table> backup;

  // What refresh finds: sector 0's entries, and sector 2's when it matches them.
  FUZZ_UNTRACKED void readTable(const FakeDisk& disk) { table = tableAt(sectorBytes(disk, 0), TABLE); }
  FUZZ_UNTRACKED void readBackup(const FakeDisk& disk) {
    const std::vector<u8> s = sectorBytes(disk, BACKUP_SECTOR);
    if (std::memcmp(s.data(), "VRK-MBR-PARTS", 14) != 0) return;
    const Table candidates = tableAt(s, BACKUP_ENTRIES);
    bool any = false;
    for (const Entry& e : table) {
      if (e[4] == 0) continue;
      any = true;
      bool found = false;
      for (const Entry& c : candidates) {
        found = found || (c[4] == e[4] && startOf(c) == startOf(e) && countOf(c) == countOf(e));
      }
      if (!found) return;
    }
    if (any) backup = candidates;
  }
};

FUZZ_UNTRACKED void checkState(const MBRPartitions& p, const Model& m) {
  FUZZ_CHECK(sameTable(p.partitionTable(), m.table));
  FUZZ_CHECK(p.backupPartitionTable().has_value() == m.backup.has_value());
  if (m.backup) FUZZ_CHECK(sameTable(*p.backupPartitionTable(), *m.backup));
  FUZZ_CHECK(p.backupPartitionsAndMBRMatch() == (m.backup && *m.backup == m.table));
  u32 used = 0;
  for (const Entry& e : m.table) used += e[4] != 0;
  FUZZ_CHECK(p.isUsingLegacyAndPrimaryPartitions() ==
             (used == 2 && m.table[0][4] == 0x06 && m.table[1][4] == 0x0C));
}

// Transfers and dismounts seen during one operation, and the failures injected in it.
struct Faults {
  u32 mode = 0;  // 0 none, 1 a read, 2 a write, 3 the dismount
  u32 which = 0;
  u32 reads = 0, writes = 0;
  std::vector<std::pair<bool, u32>> fired;  // (write, sector) of each failed transfer
};

// What one writing operation must have done to sector 0, given what it was asked to
// put in the slots. `before` is sector 0 before the operation.
FUZZ_UNTRACKED void checkTableWrite(const FakeDisk& disk, const std::vector<u8>& before, const Table& slots,
                                    const Faults& f, u32 writesBefore, u32 dismountsBefore, u32 mountsBefore,
                                    VantorErrorCodes thrown) {
  const std::vector<u8> after = sectorBytes(disk, 0);
  const bool readFailed = std::any_of(f.fired.begin(), f.fired.end(), [](auto& x) { return !x.first; });
  const bool writeFailed = std::any_of(f.fired.begin(), f.fired.end(), [](auto& x) { return x.first; });
  if (readFailed) {  // nothing happened
    FUZZ_CHECK(thrown == ERR_DISK_ACCESS && after == before);
    FUZZ_CHECK(disk.count(Op::Write) == writesBefore && disk.count(Op::Dismount) == dismountsBefore);
    return;
  }
  FUZZ_CHECK(disk.count(Op::Dismount) == dismountsBefore + 1);
  if (!disk.dismountResult) {
    FUZZ_CHECK(thrown == ERR_DISMOUNT_FAILED && after == before);
    FUZZ_CHECK(disk.count(Op::Write) == writesBefore && disk.count(Op::Mount) == mountsBefore);
    return;
  }
  FUZZ_CHECK(disk.count(Op::Mount) == mountsBefore + 1);  // also after a failed write
  FUZZ_CHECK(disk.count(Op::Write) == writesBefore + 1);
  if (writeFailed) {
    FUZZ_CHECK(thrown == ERR_DISK_ACCESS && after == before);
    return;
  }
  FUZZ_CHECK(thrown == ERR_NONE);
  std::vector<u8> expected = before;
  for (u32 i = 0; i < 4; ++i) std::memcpy(expected.data() + TABLE + 16 * i, slots[i].data(), 16);
  FUZZ_CHECK(after == expected);
}

// ---- the disk --------------------------------------------------------------------

struct Built {
  u32 ss = 512;
  u32 sectors = 0;
  Chain chain;
  Layout::Blocks blocks;
};

Built build(FuzzInput& in, u8 options) {
  static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
  Built b;
  b.ss = SECTOR_SIZES[options & 7];
  const u32 ss = b.ss;
  Layout out(u64(DISK_SECTORS_LIMIT) * ss, ss);
  if (options == 0xFF) {  // the bytes as they stand
    std::size_t n = 0;
    const uint8_t* rest = in.rest(n);
    out.copy(0, rest, n);
    b.sectors = static_cast<u32>(n / ss + 3);
    b.blocks = out.takeBlocks();
    return b;
  }
  if (options & 0x10) out.fill(0, TABLE, 0xFA);  // boot code

  const u32 slack = in.byte();
  u64 end = 3;  // sector 2 exists
  u64 cursor = 63;
  struct Primary {
    u8 type = 0;
    u8 boot = 0;
    u32 start = 0;
    u32 count = 0;
    u8 startMode = 0, countMode = 0;
  } primary[4];
  int extendedSlot = -1;
  for (u32 i = 0; i < 4; ++i) {
    Primary& p = primary[i];
    const u8 kind = in.byte();
    const u8 typeChoice = in.byte();
    p.startMode = in.byte();
    p.countMode = in.byte();
    const u32 v = in.u16le();
    p.boot = kind & 0x80 ? 0x80 : 0;
    switch ((kind + (i == 0 ? 1 : 0)) % 8) {  // slot 0 holds a partition by default
      case 1: p.type = DATA_TYPES[typeChoice % 8]; break;
      case 2: p.type = EXTENDED_TYPES[typeChoice % 3]; break;
      case 3: p.type = 0xEE; break;
      case 4: p.type = typeChoice; break;
      default: p.type = 0; break;
    }
    switch (p.startMode % 4) {
      case 0: p.start = static_cast<u32>(cursor + v % 64); break;
      case 1: p.start = v; break;
      case 2: p.start = v << 16 | in.u16le(); break;
      default: p.start = 0; break;  // resolved once the disk's size is known: at its end
    }
    switch (p.countMode % 4) {
      case 0: p.count = 1 + v % 512; break;
      case 1: p.count = in.u16le(); break;
      case 2: p.count = in.u32le(); break;
      default: p.count = 0; break;
    }
    if (isExtended(p.type) && extendedSlot < 0) extendedSlot = static_cast<int>(i);
    if (p.startMode % 4 == 0) cursor = u64(p.start) + p.count;
  }

  // The chain behind the first extended entry: each record holds a logical partition
  // (relative to the record) and a link to the next record (relative to the extended
  // partition's start).
  const u8 chainChoice = in.byte();
  const u32 links = extendedSlot < 0 ? 0 : (chainChoice >= 0xF8 ? 250 + chainChoice % 8 * 3 : chainChoice % 12);
  bool sound = extendedSlot >= 0 && primary[extendedSlot].startMode % 4 != 3;
  std::vector<MbrPartition> logical;
  if (links > 0) {
    Primary& ext = primary[extendedSlot];
    const u64 base = ext.start;
    u64 offset = 0;
    u64 reach = 1;
    for (u32 k = 0; k < links; ++k) {
      const u8 typeChoice = in.byte();
      const u8 size = in.byte();
      const u8 linkMode = in.byte();
      const u8 flags = in.byte();
      const u64 record = base + offset;
      const u8 type = LOGICAL_TYPES[typeChoice % 8];
      const u32 rel = flags & 0x10 ? in.byte() : 1 + (flags >> 5);
      const u32 count = typeChoice & 0x80 ? 0 : 1 + size;
      const u64 at = record * ss + TABLE;
      out.put8(at + 4, type);
      out.put32(at + 8, rel);
      out.put32(at + 12, count);
      const bool signature = !(flags & 0x01);
      if (signature) out.put16(record * ss + 510, 0xAA55);
      if (record == 0 || record == BACKUP_SECTOR) sound = false;  // shares a sector
      if (!signature || record >= DISK_SECTORS_LIMIT) sound = false;
      if (k < CHAIN_LIMIT && signature && type != 0 && count != 0) {
        logical.push_back({5 + static_cast<u32>(logical.size()), type, record + rel, count});
      }
      reach = std::max(reach, offset + rel + count);
      end = std::max(end, record + 1);
      if (k + 1 == links) {  // the last record links nowhere, or somewhere odd
        if (flags & 0x02) {
          out.put8(at + 16 + 4, EXTENDED_TYPES[linkMode % 3]);
          out.put32(at + 16 + 8, static_cast<u32>(linkMode & 0x80 ? offset : in.u16le()));
          sound = false;
        }
        break;
      }
      u64 next;
      switch (linkMode % 4) {
        case 0: next = offset + rel + count + (linkMode >> 2) % 4; break;  // onwards
        case 1: next = offset - std::min<u64>(offset, (linkMode >> 2) % 2), sound = false; break;  // back, or again
        case 2: next = in.u16le(), sound = false; break;
        default: next = offset + 1 + (linkMode >> 2), sound = false; break;
      }
      if (next <= offset || next > 0xFFFFFFFF) sound = false;
      const u8 linkType = flags & 0x04 ? LOGICAL_TYPES[flags % 8] : EXTENDED_TYPES[(flags >> 6) % 3];
      if (!isExtended(linkType)) sound = false;
      out.put8(at + 16 + 4, linkType);
      out.put32(at + 16 + 8, static_cast<u32>(next));
      out.put32(at + 16 + 12, 1 + rel + count);
      reach = std::max(reach, next + 1);
      offset = next;
    }
    if (ext.countMode % 4 == 0) {
      ext.count = static_cast<u32>(std::min<u64>(reach + (chainChoice & 0x07), 0xFFFFFFFF));
    } else {
      sound = false;  // the partition's size may cut the chain short
    }
  }

  // The backup sector: the table's entries again, moved, dropped or changed.
  if (options & 0x20) {
    out.putText(u64(BACKUP_SECTOR) * ss, "VRK-MBR-PARTS", 14);
    for (u32 i = 0; i < 4; ++i) {
      const u8 how = in.byte();
      const Primary& from = primary[(i + how / 4) % 4];
      const u64 at = u64(BACKUP_SECTOR) * ss + BACKUP_ENTRIES + 16 * i;
      switch (how % 4) {
        case 0:
        case 1:
          out.put8(at, how & 0x40 ? 0x80 : from.boot);
          out.put8(at + 4, from.type);
          out.put32(at + 8, from.start);
          out.put32(at + 12, from.count);
          if (how % 4 == 1) out.put8(at + 1, how);  // CHS bytes differ
          break;
        case 2: break;  // empty
        default:
          out.put8(at + 4, SELECT_TYPES[how / 4 % 6]);
          out.put32(at + 8, in.u16le());
          out.put32(at + 12, in.u16le());
          break;
      }
    }
  }

  b.sectors = static_cast<u32>(std::min<u64>(DISK_SECTORS_LIMIT, end + slack));
  for (u32 i = 0; i < 4; ++i) {
    Primary& p = primary[i];
    if (p.startMode % 4 == 3) p.start = b.sectors - std::min<u32>(b.sectors, p.startMode / 4 % 3);
    const u64 at = TABLE + 16 * i;
    out.put8(at, p.boot);
    out.put8(at + 4, p.type);
    out.put32(at + 8, p.start);
    out.put32(at + 12, p.count);
  }
  if (!(options & 0x08)) out.put16(510, 0xAA55);

  // The reader takes the first extended entry that is in use and starts on the disk.
  if (extendedSlot >= 0) {
    const Primary& ext = primary[extendedSlot];
    if (ext.count == 0 || ext.start >= b.sectors) sound = false;
    if (ext.start == 0 || ext.start == BACKUP_SECTOR) sound = false;  // the first record is another sector
    for (int i = 0; i < extendedSlot; ++i) {
      if (primary[i].type == 0xEE) sound = false;
    }
  }
  for (const Primary& p : primary) {
    if (p.type == 0xEE) sound = false;
  }
  if (options & 0x08) sound = false;
  if (out.corrupt(in) > 0) sound = false;
  b.chain.sound = sound && ss >= 512;
  for (const MbrPartition& p : logical) {
    if (p.startSector < b.sectors) b.chain.logical.push_back(p);
  }
  // Numbers follow the partitions found, not the records.
  for (std::size_t k = 0; k < b.chain.logical.size(); ++k) b.chain.logical[k].number = 5 + static_cast<u32>(k);
  b.blocks = out.takeBlocks();
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  FuzzInput in(data, size);
  const u8 options = in.byte();
  const u8 faultChoice = options == 0xFF ? 0 : in.byte();
  Built b = build(in, options);
  auto disk = std::make_shared<FakeDisk>(b.ss, b.sectors);
  Layout::layOut(b.blocks, *disk);

  Faults faults;
  faults.mode = faultChoice % 4;
  faults.which = faultChoice / 4;
  disk->dismountResult = faults.mode != 3;
  disk->gate = [&faults](Op op, u32 sector, u32) {
    const bool write = op == Op::Write;
    const u32 n = write ? ++faults.writes : ++faults.reads;
    const bool fail = faults.mode == (write ? 2u : 1u) && n == faults.which + 1;
    if (fail) faults.fired.emplace_back(write, sector);
    return !fail;
  };

  checkLayout(*disk, b.chain, faults.mode == 1);
  if (!faults.fired.empty()) return 0;  // the one failure is spent

  // MBRPartitions: construction reads sector 0 and sector 2.
  Model model;
  boost::optional<MBRPartitions> partitions;
  try {
    partitions.emplace(disk);
  } catch (const VantorException& e) {
    if (b.ss < 512) {
      FUZZ_CHECK(e.getErrorCode() == ERR_UNSUPPORTED_SECTOR_SIZE);
    } else {
      FUZZ_CHECK(e.getErrorCode() == ERR_DISK_ACCESS && faults.fired.size() == 1 && faults.fired[0].second == 0);
    }
    return 0;
  }
  FUZZ_CHECK(b.ss >= 512);
  model.readTable(*disk);
  if (faults.fired.empty()) model.readBackup(*disk);
  checkState(*partitions, model);

  const u32 operations = in.below(9);
  for (u32 n = 0; n < operations; ++n) {
    const u8 op = in.byte();
    const std::vector<u8> before = sectorBytes(*disk, 0);
    const u32 writes = disk->count(Op::Write), dismounts = disk->count(Op::Dismount), mounts = disk->count(Op::Mount);
    faults.fired.clear();
    VantorErrorCodes thrown = ERR_NONE;
    // What the operation writes into the slots, when it gets as far as writing.
    boost::optional<Table> slots;
    VantorErrorCodes refused = ERR_NONE;  // what it must throw before touching the disk

    const auto selectIndex = [&](u32 index) {
      if (!model.backup) return void(refused = ERR_INVALID_ARGUMENT);
      if (index >= 4) return void(refused = ERR_INVALID_ARGUMENT);
      Entry e = (*model.backup)[index];
      if (e[4] == 0 || startOf(e) == 0) return void(refused = ERR_INVALID_ARGUMENT);
      e[0] = 0x80;
      slots = Table{};
      (*slots)[0] = e;
    };
    const auto selectType = [&](u8 type) {
      if (!model.backup) return void(refused = ERR_INVALID_ARGUMENT);
      for (u32 i = 0; i < 4; ++i) {
        if ((*model.backup)[i][4] == type) return selectIndex(i);
      }
      refused = ERR_INVALID_ARGUMENT;
    };
    const auto restoreAll = [&] {
      if (!model.backup) return void(refused = ERR_INVALID_ARGUMENT);
      slots = *model.backup;
    };

    try {
      switch (op % 8) {
        case 0: {  // refresh
          try {
            partitions->refresh();
          } catch (const VantorException& e) {
            FUZZ_CHECK(e.getErrorCode() == ERR_DISK_ACCESS);
            FUZZ_CHECK(faults.fired.size() == 1 && faults.fired[0].second == 0);
            break;
          }
          model.readTable(*disk);
          if (faults.fired.empty()) model.readBackup(*disk);  // sector 2 unread: kept
          break;
        }
        case 1: {
          const u32 index = in.below(6);
          selectIndex(index);
          partitions->selectBackupPartition(index);
          break;
        }
        case 2: {
          const u8 type = op & 0x80 ? in.byte() : SELECT_TYPES[op / 8 % 6];
          selectType(type);
          partitions->selectBackupPartitionByType(type);
          break;
        }
        case 3: {
          const u32 kind = op / 8 % 4;
          if (kind == 0) selectType(0x06);
          if (kind == 1) selectType(0x0C);
          if (kind == 2) restoreAll();
          if (kind == 3) refused = ERR_INVALID_ARGUMENT;
          partitions->selectBackupPartitionByType(static_cast<MBRPartitions::ComboType>(kind));
          break;
        }
        case 4: {
          static const char* const NAMES[] = {"legacy", "PRIMARY", "All", "foo", "", "legacy "};
          const u32 name = op / 8 % 6;
          if (name == 0) selectType(0x06);
          if (name == 1) selectType(0x0C);
          if (name == 2) restoreAll();
          if (name >= 3) refused = ERR_INVALID_ARGUMENT;
          partitions->selectBackupPartitionByType(vrk::String(NAMES[name]));
          break;
        }
        case 5:
          restoreAll();
          partitions->restoreBackupPartitions();
          break;
        case 6: {  // a new backup sector for the current table, stored where it says
          const auto made = partitions->createBackupMBRPartitionsSector();
          FUZZ_CHECK(made.first == BACKUP_SECTOR && made.second.size() == b.ss);
          FUZZ_CHECK(std::memcmp(made.second.data(), "VRK-MBR-PARTS", 14) == 0);
          const std::vector<u8> sector(made.second.data(), made.second.data() + b.ss);
          FUZZ_CHECK(tableAt(sector, BACKUP_ENTRIES) == model.table);
          FUZZ_CHECK(std::all_of(sector.begin() + 14, sector.begin() + BACKUP_ENTRIES, [](u8 x) { return x == 0; }));
          FUZZ_CHECK(std::all_of(sector.begin() + BACKUP_ENTRIES + 64, sector.end(), [](u8 x) { return x == 0; }));
          (void)disk->writeSectors(made.first, made.second.data(), 1);
          break;
        }
        default:
          checkLayout(*disk, Chain{}, faults.mode == 1);
          break;
      }
    } catch (const VantorException& e) {
      thrown = e.getErrorCode();
    }
    if (refused != ERR_NONE) {
      FUZZ_CHECK(thrown == refused);
      FUZZ_CHECK(disk->count(Op::Write) == writes && disk->count(Op::Dismount) == dismounts && faults.fired.empty());
    } else if (slots) {
      checkTableWrite(*disk, before, *slots, faults, writes, dismounts, mounts, thrown);
    } else {
      FUZZ_CHECK(thrown == ERR_NONE || op % 8 == 0);
    }
    checkState(*partitions, model);  // writes never re-read the table
  }
  return 0;
}

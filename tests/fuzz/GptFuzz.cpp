// GUID partition tables built from the fuzzer's choices: a primary header (its CRCs put
// right unless the input says not to), its entry array, now and then a backup at the
// disk's last sector and a protective MBR, a few bytes broken on purpose. The reader
// (readGptLayout) runs on that disk with one of its reads failing now and then; when it
// succeeds, the table's sectors are copied onto a disk of another size and the backup is
// moved there (relocateGptBackup). Checked: no transfer reaches past a disk's end and
// the reads are bounded; a table the reader takes has sound CRCs and lies inside the
// disk, its partitions inside the usable area without overlapping; the move refuses
// exactly the targets too small for the table, writing nothing, and otherwise leaves a
// table the reader takes, with the same partitions, its backup at the target's end.
// (What the reader makes of real tables is checked against sfdisk in GptLayoutTest.)
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: 4096-byte sectors (bit 0), header CRC left as built (bits 1 and 2 both),
//            entries CRC left as built (bits 1 and 3 both), a backup (bit 4), a read
//            fails (bit 5; the faults byte says which), a protective MBR (bit 6)
//   faults (bit 7 with options bit 7: an array over 16 KiB may stay), disk size (u32: 0 = the header's AlternateLBA + 1), target size (u32: 0 = the
//   disk's), the header's first 92 bytes, the array's length in bytes (u16) and bytes
//   (the rest of the array reads as zeros), corruptions (corruptSectors)
#include <algorithm>
#include <cstring>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/internal/Crc32.h>
#include <libVantor/internal/GptFormat.h>
#include <libVantor/internal/GptLayout.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::gpt_format;
using namespace vantor::fuzz;

namespace {

constexpr u32 DISK_SECTORS_LIMIT = 1u << 24;  // sparse: a disk costs what lies on it
constexpr u64 FAR = 1ull << 40;                // no array is laid out past this sector

// The CRC-32 of `n` bytes of `disk` from `offset` (into a buffer kept from run to run).
u32 crcAt(const FakeDisk& disk, u64 offset, u64 n) {
  static std::vector<u8> bytes;
  return crc32(disk.read(offset, n, bytes).data(), n);
}

u32 headerCrcOf(const std::vector<u8>& h, u32 size) {
  const u8 zero[4] = {};
  return crc32(&h[HDR_CRC + 4], size - HDR_CRC - 4, crc32(zero, 4, crc32(h.data(), HDR_CRC)));
}

// The header sector at `lba` of `disk` with its CRC put right (over 92 bytes when the
// size field is out of range).
void fixHeaderCrc(FakeDisk& disk, u64 lba) {
  const u32 ss = disk.getSectorSize();
  static std::vector<u8> h;
  disk.read(lba * ss, ss, h);
  const u32 size = readLE32(&h[HDR_SIZE]);
  writeLE32(&h[HDR_CRC], headerCrcOf(h, size >= MIN_HEADER_SIZE && size <= ss ? size : MIN_HEADER_SIZE));
  disk.put(lba * ss, h);
}

u64 arrayBytesOf(const std::vector<u8>& h) { return u64(readLE32(&h[HDR_ENTRY_COUNT])) * readLE32(&h[HDR_ENTRY_SIZE]); }

// The input's choices, read before the disk is made (its size may depend on them).
struct Choices {
  u8 options = 0, faults = 0;
  u32 sectors = 0, targetSectors = 0;
  std::vector<u8> header, array;
};

// (One Choices for every run, so that its buffers are not taken afresh each time.)
Choices& choose(FuzzInput& in) {
  static Choices c;
  c.options = in.byte();
  c.faults = in.byte();
  const u32 ss = c.options & 1 ? 4096 : 512;
  const u32 diskChoice = in.u32le(), targetChoice = in.u32le();
  c.header.assign(ss, 0);
  in.copy(c.header.data(), MIN_HEADER_SIZE);
  c.array.resize(in.u16le());
  in.copy(c.array.data(), c.array.size());
  // Arrays over 16 KiB (the usual size) only when both top bits of the options and the
  // faults byte ask for one: one of up to a megabyte costs that much reading and CRC.
  std::vector<u8>& h = c.header;
  const u32 count = readLE32(&h[HDR_ENTRY_COUNT]), entrySize = readLE32(&h[HDR_ENTRY_SIZE]);
  if (!((c.options & 0x80) && (c.faults & 0x80)) && entrySize != 0 && u64(count) * entrySize > 16384) {
    writeLE32(&h[HDR_ENTRY_COUNT], 16384 / entrySize);
  }
  const u64 alternate = readLE64(&h[HDR_ALTERNATE_LBA]);
  c.sectors = static_cast<u32>(diskChoice == 0 ? std::min<u64>(std::max<u64>(alternate, 2) + 1, DISK_SECTORS_LIMIT)
                                               : 3 + diskChoice % DISK_SECTORS_LIMIT);
  c.targetSectors = targetChoice == 0 ? c.sectors : 3 + targetChoice % DISK_SECTORS_LIMIT;
  return c;
}

// Lays out the table on `disk` (sectors past its end may hold bytes too, never read).
void layOut(FuzzInput& in, Choices& c, FakeDisk& disk) {
  const u32 ss = disk.getSectorSize();
  const u8 options = c.options;
  std::vector<u8>& h = c.header;
  const u64 entriesLba = readLE64(&h[HDR_ENTRIES_LBA]);
  const u64 arrayBytes = arrayBytesOf(h);
  if (entriesLba < FAR) disk.put(entriesLba * ss, c.array);
  if (entriesLba < FAR && arrayBytes <= MAX_ENTRIES_BYTES && !((options & 0x0A) == 0x0A)) {
    writeLE32(&h[HDR_ENTRIES_CRC], crcAt(disk, entriesLba * ss, arrayBytes));
  }
  disk.put(ss, h);
  if ((options & 0x06) != 0x06) fixHeaderCrc(disk, 1);

  const u64 last = c.sectors - 1;
  const u64 arraySectors = (std::min<u64>(arrayBytes, MAX_ENTRIES_BYTES) + ss - 1) / ss;
  if ((options & 0x10) && last > arraySectors + 1) {  // the backup, as a GPT tool writes it
    static std::vector<u8> backup;
    disk.read(ss, ss, backup);
    writeLE64(&backup[HDR_MY_LBA], last);
    writeLE64(&backup[HDR_ALTERNATE_LBA], 1);
    writeLE64(&backup[HDR_ENTRIES_LBA], last - arraySectors);
    disk.put(last * ss, backup);
    std::vector<std::pair<u64, std::vector<u8>>> copies;  // the array's stored sectors only
    for (auto it = disk.sectors().lower_bound(entriesLba); it != disk.sectors().end() && entriesLba < FAR &&
                                                          it->first < entriesLba + arraySectors;
         ++it) {
      copies.emplace_back(last - arraySectors + (it->first - entriesLba), it->second);
    }
    for (const auto& copy : copies) disk.put(copy.first * ss, copy.second);
    fixHeaderCrc(disk, last);
  }
  if (options & 0x40) {
    u8 entry[16] = {0, 0, 2, 0, MBR_PROTECTIVE_TYPE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    writeLE32(entry + MBR_ENTRY_COUNT, static_cast<u32>(std::min<u64>(last, MAX_LBA)));
    disk.put(MBR_TABLE, entry, 16);
    disk.put(510, "\x55\xAA", 2);
  }
  fuzz::corruptSectors(in, disk);
}

// The layout the reader took is what the disk holds: CRCs that match, the array between
// the header and the usable area, the backup inside the disk, the partitions inside the
// usable area and apart.
FUZZ_UNTRACKED void checkConsistent(const FakeDisk& disk, const GptLayout& l) {
  const u32 ss = disk.getSectorSize();
  static std::vector<u8> headerBuffer;
  const std::vector<u8>& h = disk.read(ss, ss, headerBuffer);
  const u32 size = readLE32(&h[HDR_SIZE]);
  FUZZ_CHECK(readLE64(&h[HDR_SIGNATURE]) == SIGNATURE && size >= MIN_HEADER_SIZE && size <= ss);
  FUZZ_CHECK(headerCrcOf(h, size) == readLE32(&h[HDR_CRC]) && l.headerSector == 1);
  const u64 bytes = u64(l.entryCount) * l.entrySize;
  FUZZ_CHECK(l.entrySize >= 128 && bytes <= MAX_ENTRIES_BYTES && l.entriesSectors == (bytes + ss - 1) / ss);
  FUZZ_CHECK(crcAt(disk, l.entriesSector * ss, bytes) == readLE32(&h[HDR_ENTRIES_CRC]));
  FUZZ_CHECK(l.entriesSector >= 2 && l.entriesSector + l.entriesSectors <= l.firstUsable);
  FUZZ_CHECK(l.firstUsable <= l.lastUsable && l.lastUsable + l.entriesSectors < l.alternateSector);
  FUZZ_CHECK(l.alternateSector < disk.getSizeSectors() && l.alternateSector <= MAX_LBA);
  std::vector<std::pair<u64, u64>> runs;
  for (const GptPartition& p : l.partitions) {
    FUZZ_CHECK(p.number >= 1 && p.number <= l.entryCount && p.name.size() <= 36 * 3);
    FUZZ_CHECK(l.firstUsable <= p.firstSector && p.firstSector <= p.lastSector && p.lastSector <= l.lastUsable);
    runs.emplace_back(p.firstSector, p.lastSector);
  }
  std::sort(runs.begin(), runs.end());
  for (std::size_t i = 1; i < runs.size(); ++i) FUZZ_CHECK(runs[i - 1].second < runs[i].first);
}

// The table's sectors copied onto a disk of `sectors` sectors, as far as they fit, and
// the backup moved there: refused exactly when the table does not fit, writing nothing.
FUZZ_UNTRACKED void checkRelocation(const FakeDisk& disk, const GptLayout& l, u32 sectors) {
  const u32 ss = disk.getSectorSize();
  FakeDisk target(ss, sectors);
  for (const SectorRange& run : gptTableSectors(l)) {
    for (u64 s = run.firstSector; s <= run.lastSector && s < sectors; ++s) {
      if (disk.sector(s)) target.put(s * ss, disk.sector(s), ss);
    }
  }
  const u64 last = sectors - 1;
  bool fits = last >= l.firstUsable + l.entriesSectors + 1;
  for (const GptPartition& p : l.partitions) fits = fits && p.lastSector <= last - l.entriesSectors - 1;
  try {
    relocateGptBackup(target);
  } catch (const VantorException& e) {
    FUZZ_CHECK(!fits && e.getErrorCode() == ERR_VOLUME_EXCEEDS_DRIVE && target.writes().empty());
    FUZZ_CHECK(!target.requestPastEnd);
    return;
  }
  FUZZ_CHECK(fits && !target.requestPastEnd);
  for (const FakeDisk::Call& w : target.writes()) {
    FUZZ_CHECK(w.sector <= 1 || (w.sector == last - l.entriesSectors && w.count == l.entriesSectors) ||
               (w.sector == last && w.count == 1));
  }
  const GptLayout moved = readGptLayout(target);
  FUZZ_CHECK(moved.alternateSector == last && moved.lastUsable == last - l.entriesSectors - 1);
  FUZZ_CHECK(moved.firstUsable == l.firstUsable && moved.entriesSector == l.entriesSector);
  FUZZ_CHECK(moved.partitions.size() == l.partitions.size());
  for (std::size_t i = 0; i < l.partitions.size(); ++i) {
    const GptPartition &a = l.partitions[i], &b = moved.partitions[i];
    FUZZ_CHECK(a.number == b.number && a.firstSector == b.firstSector && a.lastSector == b.lastSector);
    FUZZ_CHECK(a.name == b.name && std::memcmp(a.uniqueGuid, b.uniqueGuid, 16) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
  Choices& choices = choose(in);
  const u8 options = choices.options, faults = choices.faults;
  FakeDisk disk(options & 1 ? 4096 : 512, choices.sectors);
  layOut(in, choices, disk);

  u32 reads = 0;
  bool failed = false;
  disk.gate = [&](Op op, u32, u32) {
    const bool fail = op == Op::Read && (options & 0x20) && ++reads == faults % 8u + 1;
    failed = failed || fail;
    return !fail;
  };
  GptLayout layout;
  try {
    layout = readGptLayout(disk);
  } catch (const VantorException& e) {
    FUZZ_CHECK(e.getErrorCode() == ERR_UNSUPPORTED_FILE_SYSTEM || (e.getErrorCode() == ERR_DISK_ACCESS && failed));
    FUZZ_CHECK(!e.getMessage().str().empty() && !disk.requestPastEnd && disk.count(Op::Read) <= 6);
    return 0;
  }
  FUZZ_CHECK(!failed && !disk.requestPastEnd && disk.count(Op::Read) == 2);
  disk.gate = nullptr;
  checkConsistent(disk, layout);
  checkRelocation(disk, layout, choices.targetSectors);
  return 0;
}

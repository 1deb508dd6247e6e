#include <libVantor/internal/GptLayout.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/Crc32.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/GptFormat.h>

namespace vantor {
namespace {

using namespace gpt_format;

constexpr u32 MIN_SECTOR_SIZE = 512;
constexpr u32 MAX_SECTOR_SIZE = 65536;

std::string num(u64 v) { return std::to_string(v); }

[[noreturn]] void refuse(const std::string& message, VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM) {
  throw VantorException(code, vrk::String(message));
}

u32 checkedSectorSize(const IDisk& disk) {
  const u32 ss = disk.getSectorSize();
  if (ss < MIN_SECTOR_SIZE || ss > MAX_SECTOR_SIZE) {
    refuse("GPT tables are read on disks of 512 to 65536 bytes per sector, not " + num(ss),
           ERR_UNSUPPORTED_SECTOR_SIZE);
  }
  return ss;
}

// One page-aligned buffer per operation for the usual table (a mapping costs more than
// the reads): sector 0 for a header, 1 for a second header, 2 for the MBR, the entry
// array from sector 3. A larger array gets a buffer of its own.
constexpr u32 SCRATCH_HEADER = 0, SCRATCH_BACKUP = 1, SCRATCH_MBR = 2, SCRATCH_ARRAY = 3;
constexpr u32 USUAL_ENTRIES_BYTES = 128 * 128;

class Scratch {
 public:
  explicit Scratch(u32 ss)
      : ss_(ss), buffer_(std::size_t(SCRATCH_ARRAY + (USUAL_ENTRIES_BYTES + ss - 1) / ss) * ss) {}
  u8* sector(u32 index) const { return buffer_.get() + std::size_t(index) * ss_; }
  // Room for `sectors` sectors of an entry array (at most MAX_ENTRIES_BYTES of them).
  u8* array(u64 sectors) {
    if (sectors * ss_ <= USUAL_ENTRIES_BYTES + ss_ - 1) return sector(SCRATCH_ARRAY);
    if (!large_ || large_->size() < sectors * ss_) large_.reset(new DiskBufferPointer(sectors * ss_));
    return large_->get();
  }

 private:
  u32 ss_;
  DiskBufferPointer buffer_;
  std::unique_ptr<DiskBufferPointer> large_;
};

// `count` sectors from `lba` into `into`; the caller has checked that they lie at or
// below MAX_LBA and that they fit the scratch buffer.
void readRun(const IDisk& disk, u64 lba, u64 count, u8* into, const char* what) {
  if (!disk.readSectors(static_cast<u32>(lba), into, static_cast<u32>(count))) {
    const std::string where = count == 1 ? "sector " + num(lba) : "sectors " + num(lba) + "-" + num(lba + count - 1);
    refuse(std::string("Cannot read the ") + what + " at " + where, ERR_DISK_ACCESS);
  }
}

void writeRun(IDisk& disk, u64 lba, u64 count, const u8* data, const char* what) {
  if (!disk.writeSectors(static_cast<u32>(lba), data, static_cast<u32>(count))) {
    const std::string where = count == 1 ? "sector " + num(lba) : "sectors " + num(lba) + "-" + num(lba + count - 1);
    refuse(std::string("Cannot write the ") + what + " at " + where, ERR_DISK_ACCESS);
  }
}

// What a header says, after the checks that need nothing but the header itself.
struct Header {
  u64 myLba, alternate, firstUsable, lastUsable, entriesLba, entriesSectors;
  u32 headerSize, entryCount, entrySize, entriesCrc;
};

// The CRC over the header's bytes with its own CRC field read as zero.
u32 headerCrc(const u8* sector, u32 headerSize) {
  const u8 zero[4] = {};
  const u32 head = crc32(zero, sizeof zero, crc32(sector, HDR_CRC));
  return crc32(sector + HDR_CRC + 4, headerSize - HDR_CRC - 4, head);
}

// `alternateHint` gets the header's AlternateLBA once the header is known to be one.
Header parseHeader(const u8* s, u32 ss, u64 myLba, u64* alternateHint = nullptr) {
  const std::string at = "GPT header at sector " + num(myLba);
  if (readLE64(s + HDR_SIGNATURE) != SIGNATURE) refuse("No GPT header at sector " + num(myLba) + " (no \"EFI PART\")");
  Header h{};
  h.headerSize = readLE32(s + HDR_SIZE);
  if (h.headerSize < MIN_HEADER_SIZE || h.headerSize > ss) {
    refuse(at + " gives a header size of " + num(h.headerSize) + " bytes (92 to " + num(ss) + " expected)");
  }
  if (alternateHint) *alternateHint = readLE64(s + HDR_ALTERNATE_LBA);
  if (headerCrc(s, h.headerSize) != readLE32(s + HDR_CRC)) {
    refuse("GPT header CRC at sector " + num(myLba) + " does not match (the table is damaged)");
  }
  h.myLba = readLE64(s + HDR_MY_LBA);
  if (h.myLba != myLba) refuse(at + " says it lies at sector " + num(h.myLba));
  h.alternate = readLE64(s + HDR_ALTERNATE_LBA);
  h.firstUsable = readLE64(s + HDR_FIRST_USABLE);
  h.lastUsable = readLE64(s + HDR_LAST_USABLE);
  h.entriesLba = readLE64(s + HDR_ENTRIES_LBA);
  h.entryCount = readLE32(s + HDR_ENTRY_COUNT);
  h.entrySize = readLE32(s + HDR_ENTRY_SIZE);
  h.entriesCrc = readLE32(s + HDR_ENTRIES_CRC);
  if (h.entrySize < MIN_ENTRY_SIZE || h.entrySize % 8 != 0) {
    refuse(at + " gives an entry size of " + num(h.entrySize) + " bytes (a multiple of 8, at least 128, expected)");
  }
  if (h.entryCount == 0) refuse(at + " lists no partition entries");
  const u64 arrayBytes = u64(h.entryCount) * h.entrySize;  // both below 2^32: no wrap
  if (arrayBytes > MAX_ENTRIES_BYTES) {
    refuse(at + " gives an entry array of " + num(h.entryCount) + " entries of " + num(h.entrySize) +
           " bytes, larger than 1 MiB");
  }
  h.entriesSectors = (arrayBytes + ss - 1) / ss;
  if (h.firstUsable > h.lastUsable) {
    refuse(at + " gives an empty usable range (" + num(h.firstUsable) + "-" + num(h.lastUsable) + ")");
  }
  return h;
}

// A primary entry array between the header at LBA 1 and the first usable sector.
void checkPrimaryArray(const Header& h) {
  if (h.entriesLba < 2 || h.entriesLba > h.firstUsable || h.firstUsable - h.entriesLba < h.entriesSectors) {
    refuse("GPT entry array at sector " + num(h.entriesLba) + " (" + num(h.entriesSectors) +
           " sectors) does not lie between the header and the first usable sector " + num(h.firstUsable));
  }
}

// Where the header at h.myLba puts things, on a disk of `diskSectors` sectors.
void checkPlacement(const Header& h, u64 diskSectors) {
  const bool primary = h.myLba == 1;
  const std::string at = "GPT header at sector " + num(h.myLba);
  if (primary) {
    if (h.alternate >= diskSectors) {
      refuse("GPT backup header at sector " + num(h.alternate) + " lies past the disk's last sector " +
             num(diskSectors - 1));
    }
    if (h.alternate > MAX_LBA) {
      refuse("GPT backup header at sector " + num(h.alternate) + " lies past sector 4294967295, the last one read");
    }
    checkPrimaryArray(h);
    if (h.lastUsable >= h.alternate || h.alternate - h.lastUsable - 1 < h.entriesSectors) {
      refuse("GPT backup entry array (" + num(h.entriesSectors) + " sectors before the backup header at sector " +
             num(h.alternate) + ") does not fit after the last usable sector " + num(h.lastUsable));
    }
    return;
  }
  // A backup: the primary header at 1, the array between the usable range and itself.
  if (h.alternate != 1) refuse(at + " names sector " + num(h.alternate) + " as the primary header");
  if (h.firstUsable < 2 + h.entriesSectors) refuse(at + " leaves no room for the primary entry array");
  if (h.entriesLba <= h.lastUsable || h.entriesLba > h.myLba || h.myLba - h.entriesLba < h.entriesSectors) {
    refuse("GPT entry array at sector " + num(h.entriesLba) + " (" + num(h.entriesSectors) +
           " sectors) does not lie between the last usable sector " + num(h.lastUsable) + " and the header");
  }
}

void appendUtf8(std::string& out, u32 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The name up to its first zero unit; a surrogate without its partner becomes U+FFFD.
std::string decodeName(const u8* p) {
  std::string out;
  for (u32 i = 0; i < ENT_NAME_UNITS; ++i) {
    const u32 unit = readLE16(p + 2 * i);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < ENT_NAME_UNITS) {
      const u32 low = readLE16(p + 2 * (i + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
  }
  return out;
}

bool allZero(const u8* p, u32 n) {
  return std::all_of(p, p + n, [](u8 b) { return b == 0; });
}

// The used entries of an array whose CRC matches, each inside [firstUsable, lastUsable]
// and overlapping none of the others.
std::vector<GptPartition> parseEntries(const u8* array, const Header& h, u64 lastUsable) {
  if (crc32(array, std::size_t(h.entryCount) * h.entrySize) != h.entriesCrc) {
    refuse("GPT entry array CRC (header at sector " + num(h.myLba) + ") does not match (the table is damaged)");
  }
  std::vector<GptPartition> parts;
  for (u32 i = 0; i < h.entryCount; ++i) {
    const u8* e = array + std::size_t(i) * h.entrySize;
    if (allZero(e + ENT_TYPE_GUID, 16)) continue;
    GptPartition p;
    p.number = i + 1;
    std::memcpy(p.typeGuid, e + ENT_TYPE_GUID, 16);
    std::memcpy(p.uniqueGuid, e + ENT_UNIQUE_GUID, 16);
    p.firstSector = readLE64(e + ENT_FIRST_LBA);
    p.lastSector = readLE64(e + ENT_LAST_LBA);
    p.attributes = readLE64(e + ENT_ATTRIBUTES);
    p.name = decodeName(e + ENT_NAME);
    const std::string range = " (sectors " + num(p.firstSector) + "-" + num(p.lastSector) + ")";
    if (p.firstSector > p.lastSector) refuse("GPT partition " + num(p.number) + " ends before it starts" + range);
    if (p.firstSector < h.firstUsable || p.lastSector > lastUsable) {
      refuse("GPT partition " + num(p.number) + range + " lies outside the usable sectors " + num(h.firstUsable) +
             "-" + num(lastUsable));
    }
    parts.push_back(std::move(p));
  }
  std::vector<const GptPartition*> byStart;
  for (const GptPartition& p : parts) byStart.push_back(&p);
  std::sort(byStart.begin(), byStart.end(),
            [](const GptPartition* a, const GptPartition* b) { return a->firstSector < b->firstSector; });
  for (std::size_t i = 1; i < byStart.size(); ++i) {
    if (byStart[i]->firstSector <= byStart[i - 1]->lastSector) {
      const u32 a = std::min(byStart[i - 1]->number, byStart[i]->number);
      const u32 b = std::max(byStart[i - 1]->number, byStart[i]->number);
      refuse("GPT partitions " + num(a) + " and " + num(b) + " overlap");
    }
  }
  return parts;
}

// The table whose header lies at `lba`, every check made, read into `scratch`.
// `alternateHint` as parseHeader.
GptLayout readTable(const IDisk& disk, u64 lba, u64 diskSectors, Scratch& scratch, u64* alternateHint = nullptr) {
  const u32 ss = disk.getSectorSize();
  u8* const header = scratch.sector(SCRATCH_HEADER);
  readRun(disk, lba, 1, header, "GPT header");
  const Header h = parseHeader(header, ss, lba, alternateHint);
  checkPlacement(h, diskSectors);
  u8* const array = scratch.array(h.entriesSectors);
  readRun(disk, h.entriesLba, h.entriesSectors, array, "GPT entry array");

  GptLayout layout;
  layout.partitions = parseEntries(array, h, h.lastUsable);
  layout.headerSector = h.myLba;
  layout.alternateSector = h.alternate;
  layout.firstUsable = h.firstUsable;
  layout.lastUsable = h.lastUsable;
  layout.entriesSector = h.entriesLba;
  layout.entryCount = h.entryCount;
  layout.entrySize = h.entrySize;
  layout.entriesSectors = h.entriesSectors;
  std::memcpy(layout.diskGuid, header + HDR_DISK_GUID, 16);
  return layout;
}

}  // namespace

GptLayout readGptLayout(const IDisk& disk) {
  checkedSectorSize(disk);
  const u64 diskSectors = disk.getSizeBytes() / disk.getSectorSize();
  if (diskSectors < 3) refuse("A disk of " + num(diskSectors) + " sectors holds no GPT");
  Scratch scratch(disk.getSectorSize());
  u64 alternateHint = 0;
  try {
    return readTable(disk, 1, diskSectors, scratch, &alternateHint);
  } catch (const VantorException& primaryError) {
    if (primaryError.getErrorCode() != ERR_UNSUPPORTED_FILE_SYSTEM) throw;
    // Is the backup sound? Then say so: the user repairs the primary from it.
    std::vector<u64> places{diskSectors - 1};
    if (alternateHint != diskSectors - 1) places.push_back(alternateHint);
    for (const u64 place : places) {
      if (place <= 1 || place >= diskSectors || place > MAX_LBA) continue;
      try {
        readTable(disk, place, diskSectors, scratch);
      } catch (const VantorException&) {
        continue;
      }
      refuse("The primary GPT is damaged (" + primaryError.getMessage().str() + ") but the backup at sector " +
             num(place) + " is sound: repair the table with a partition tool first");
    }
    throw;
  }
}

SectorMap gptTableSectors(const GptLayout& layout) {
  const auto run = [](u64 first, u64 count) {
    if (count != 0 && (first > MAX_LBA || count - 1 > MAX_LBA - first)) {
      refuse("The GPT layout names sectors past 4294967295", ERR_INVALID_ARGUMENT);
    }
    return makeSectorRange(static_cast<u32>(first), static_cast<u32>(count));
  };
  if (layout.alternateSector < layout.entriesSectors) {
    refuse("The GPT layout puts the backup entry array before sector 0", ERR_INVALID_ARGUMENT);
  }
  SectorMap map;
  addSectorRange(map, run(0, 1));
  addSectorRange(map, run(layout.headerSector, 1));
  addSectorRange(map, run(layout.entriesSector, layout.entriesSectors));
  addSectorRange(map, run(layout.alternateSector - layout.entriesSectors, layout.entriesSectors));
  addSectorRange(map, run(layout.alternateSector, 1));
  return map;
}

void relocateGptBackup(IDisk& target, u8* sectorZero) {
  const u32 ss = checkedSectorSize(target);
  const u64 diskSectors = target.getSizeBytes() / ss;
  if (diskSectors < 3) refuse("A disk of " + num(diskSectors) + " sectors cannot hold a GPT", ERR_VOLUME_EXCEEDS_DRIVE);
  const u64 last = diskSectors - 1;
  if (last > MAX_LBA) {
    refuse("The target's last sector " + num(last) + " lies past sector 4294967295, the last one written",
           ERR_INVALID_ARGUMENT);
  }

  Scratch scratch(ss);
  u8* const primary = scratch.sector(SCRATCH_HEADER);
  u8* const backup = scratch.sector(SCRATCH_BACKUP);
  u8* const mbr = sectorZero ? sectorZero : scratch.sector(SCRATCH_MBR);
  readRun(target, 1, 1, primary, "GPT header");
  const Header h = parseHeader(primary, ss, 1);
  checkPrimaryArray(h);
  // The smallest disk that holds the arrays, the headers and the first usable sector.
  if (h.firstUsable > MAX_LBA || last < h.firstUsable + h.entriesSectors + 1) {
    refuse("A target of " + num(diskSectors) + " sectors is too small for this GPT", ERR_VOLUME_EXCEEDS_DRIVE);
  }
  const u64 newLastUsable = last - h.entriesSectors - 1;
  u8* const array = scratch.array(h.entriesSectors);
  readRun(target, h.entriesLba, h.entriesSectors, array, "GPT entry array");
  for (const GptPartition& p : parseEntries(array, h, h.lastUsable)) {
    if (p.lastSector > newLastUsable) {
      refuse("GPT partition " + num(p.number) + " ends at sector " + num(p.lastSector) +
                 ", past the last usable sector " + num(newLastUsable) + " of a target of " + num(diskSectors) +
                 " sectors",
             ERR_VOLUME_EXCEEDS_DRIVE);
    }
  }

  const u64 backupArray = last - h.entriesSectors;
  writeLE64(primary + HDR_ALTERNATE_LBA, last);
  writeLE64(primary + HDR_LAST_USABLE, newLastUsable);
  writeLE32(primary + HDR_CRC, headerCrc(primary, h.headerSize));
  std::memcpy(backup, primary, h.headerSize);  // the rest of the sector stays zero
  writeLE64(backup + HDR_MY_LBA, last);
  writeLE64(backup + HDR_ALTERNATE_LBA, 1);
  writeLE64(backup + HDR_ENTRIES_LBA, backupArray);
  writeLE32(backup + HDR_CRC, headerCrc(backup, h.headerSize));

  // A protective MBR's one entry spans the disk after sector 0, as far as 32 bits reach.
  if (!sectorZero) readRun(target, 0, 1, mbr, "protective MBR");
  u8* protective = nullptr;
  u32 used = 0;
  if (mbr[510] == 0x55 && mbr[511] == 0xAA) {
    for (u32 i = 0; i < 4; ++i) {
      u8* e = mbr + MBR_TABLE + 16 * i;
      if (allZero(e, 16)) continue;
      ++used;
      if (e[MBR_ENTRY_TYPE] == MBR_PROTECTIVE_TYPE && readLE32(e + MBR_ENTRY_START) == 1) protective = e;
    }
  }
  const u32 protectiveCount = static_cast<u32>(std::min<u64>(last, MAX_LBA));
  const bool fixMbr = used == 1 && protective && readLE32(protective + MBR_ENTRY_COUNT) != protectiveCount;
  if (fixMbr) writeLE32(protective + MBR_ENTRY_COUNT, protectiveCount);

  writeRun(target, backupArray, h.entriesSectors, array, "backup GPT entry array");
  writeRun(target, last, 1, backup, "backup GPT header");
  writeRun(target, 1, 1, primary, "GPT header");
  if (fixMbr && !sectorZero) writeRun(target, 0, 1, mbr, "protective MBR");
}

void requireRoomForGptBackup(const GptLayout& gpt, u64 driveSectors, const char* whose) {
  u64 lastPartitionSector = 0;
  for (const GptPartition& p : gpt.partitions) lastPartitionSector = std::max(lastPartitionSector, p.lastSector);
  if (lastPartitionSector + gpt.entriesSectors + 1 < driveSectors) return;
  throw VantorException(ERR_VOLUME_TOO_LARGE,
                        vrk::SprintfFormat("The drive is too small for the %s partitions and the GPT's backup table.\n"
                                           "   Last Partition Sector: %08I64Xh\n   Backup Table Sectors:  %I64u\n"
                                           "   Highest Drive Sector:  %08I64Xh\n",
                                           whose, lastPartitionSector, gpt.entriesSectors + 1, driveSectors - 1));
}

bool isGptHeader(const u8* sector, u32 sectorSize) {
  return sectorSize >= gpt_format::MIN_HEADER_SIZE && readLE64(sector + gpt_format::HDR_SIGNATURE) == gpt_format::SIGNATURE;
}

u64 gptAlternateSector(const u8* header) { return readLE64(header + gpt_format::HDR_ALTERNATE_LBA); }

std::string guidText(const u8* guid) {
  static const char digits[] = "0123456789ABCDEF";
  // Bytes in the order they are written: the first three fields reversed.
  static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += digits[guid[order[i]] >> 4];
    text += digits[guid[order[i]] & 15];
  }
  return text;
}

}  // namespace vantor

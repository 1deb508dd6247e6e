// libVantor/PartitionTools.h
// The classic MBR partition table in sector 0: reading its four entries, replacing
// them (boot code, signature and the rest of the sector keep their bytes), building an
// entry for a disk with its CHS fields, and packing CHS addresses into the 3-byte form.
// Entries are held byte for byte in their on-disk form. Failures throw VantorException;
// a table write dismounts the disk first and always remounts it after.
// Disks with sectors smaller than 512 bytes cannot hold the table: getPartitions and
// writePartitionsToMBR refuse them with ERR_UNSUPPORTED_SECTOR_SIZE before any transfer.
// No state, no locking: the caller serialises access to a shared disk.
#pragma once
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

#pragma pack(push, 1)
// A CHS address packed as in an MBR entry.
struct CHS_DATA {
  u8 head;                // head, low 8 bits
  u8 sectorCylinderHigh;  // bits 0-5: sector (from 1); bits 6-7: cylinder bits 8-9
  u8 cylinderLow;         // cylinder bits 0-7
};

// One 16-byte MBR partition entry in its on-disk form.
struct PARTITION_TABLE_ENTRY {
  u8 bootIndicator;  // 0x80 active, 0x00 otherwise
  CHS_DATA startCHS;
  u8 partitionType;  // 0: empty entry
  CHS_DATA endCHS;
  u32 startLBA;     // little-endian on disk, as on every host the library builds for
  u32 sectorCount;
};
#pragma pack(pop)
static_assert(sizeof(CHS_DATA) == 3, "CHS_DATA is 3 bytes on disk");
static_assert(sizeof(PARTITION_TABLE_ENTRY) == 16, "PARTITION_TABLE_ENTRY is 16 bytes on disk");
// The entries are read and written as they lie in the sector, so their u32 fields
// hold the right values only on a little-endian host.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The library builds only for little-endian hosts"
#endif

// Equality of all 16 bytes.
VANTOR_EXPORT bool operator==(const PARTITION_TABLE_ENTRY& a, const PARTITION_TABLE_ENTRY& b);
inline bool operator!=(const PARTITION_TABLE_ENTRY& a, const PARTITION_TABLE_ENTRY& b) { return !(a == b); }

class VANTOR_EXPORT PartitionTools final {
 public:
  // Byte offset of table entry 0 in sector 0; entry i follows at 16 * i.
  static constexpr u32 TABLE_OFFSET = 446;

  // The four entries of the table in `sector` (an MBR or an extended boot record, at
  // least 512 bytes), as they stand. Every reader of a table decodes it here.
  static std::vector<PARTITION_TABLE_ENTRY> entriesIn(const u8* sector);

  // Keeps the low 10 bits of the cylinder, 6 of the sector and 8 of the head.
  static CHS_DATA getCHSData(const CHSAddress& address);
  static CHSAddress getCHSAddress(const CHS_DATA& data);

  // Fills `entry` for `disk`. Where the disk's geometry gives no CHS address for the
  // first or last sector, that CHS field keeps the bytes it had.
  static void buildPartitionEntry(const IDisk& disk, PARTITION_TABLE_ENTRY& entry, bool bootable, u8 partitionType,
                                  u32 startLBA, u32 sectorCount);
  // The four entries of sector 0 as they stand, empty ones included.
  static std::vector<PARTITION_TABLE_ENTRY> getPartitions(const IDisk& disk);
  // Entry i of sector 0 becomes entries[i], or zero bytes past the vector's end.
  static void writePartitionsToMBR(IDisk& disk, const std::vector<PARTITION_TABLE_ENTRY>& entries);
};

}  // namespace vantor

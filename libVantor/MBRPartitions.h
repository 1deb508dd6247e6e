// libVantor/MBRPartitions.h
// The partition table of one disk with the full set of entries kept in the backup sector
// (sector 2, "VRK-MBR-PARTS"), taken only when it holds every used MBR entry (type, start and
// count compared). The MBR can then expose one backup entry (bootable, in slot 0), a named
// type, or all entries again. Writes never re-read the table: call refresh(). Sector 2 is
// never written here; the caller stores what createBackupMBRPartitionsSector() gives.
// Throws VantorException; disks with sectors under 512 bytes are refused as by
// PartitionTools. Shares the disk with the caller; no locking: one thread at a time.
#pragma once
#include <memory>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <libVantor/Export.h>
#include <libVantor/IDisk.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/PartitionTypes.h>
#include <vrk/Array.h>
#include <vrk/String.h>

namespace vantor {

class VANTOR_EXPORT MBRPartitions final {
 public:
  enum ComboType : u32 {
    LEGACY = 0,   // "legacy": the first backup entry of type 0x06
    PRIMARY = 1,  // "primary": the first backup entry of type 0x0C
    ALL = 2,      // "all": every backup entry, as stored
  };

  static constexpr u32 BACKUP_SECTOR = 2;
  // Whether `sector` (`size` bytes) begins as a partitions backup does: with its magic.
  static bool isBackupSector(const u8* sector, std::size_t size);
  static constexpr u8 LEGACY_PARTITION_TYPE = partition_type::FAT16;
  static constexpr u8 PRIMARY_PARTITION_TYPE = partition_type::FAT32_LBA;

  // Reads sector 0 and looks for a valid backup sector; "Could not access MBR." when
  // sector 0 cannot be read.
  explicit MBRPartitions(std::shared_ptr<IDisk> disk);

  // Reads the table again; the backup table is replaced only when sector 2 is valid
  // for the new table, otherwise it keeps its earlier value.
  void refresh();

  const std::vector<PARTITION_TABLE_ENTRY>& partitionTable() const { return partitionTable_; }
  const boost::optional<std::vector<PARTITION_TABLE_ENTRY>>& backupPartitionTable() const {
    return backupPartitionTable_;
  }

  // True when a backup table exists and equals the table entry for entry, all 16 bytes.
  bool backupPartitionsAndMBRMatch() const;
  // True when exactly two entries are used: a type 0x06 in slot 0 and a type 0x0C in slot 1.
  bool isUsingLegacyAndPrimaryPartitions() const;

  // Writes backup entry `index` (from 0), made bootable, alone into slot 0.
  void selectBackupPartition(u32 index);
  // The first backup entry of `partitionType`, through selectBackupPartition.
  void selectBackupPartitionByType(u8 partitionType);
  void selectBackupPartitionByType(ComboType type);
  // "legacy", "primary" or "all", letter case ignored.
  void selectBackupPartitionByType(const vrk::String& typeName);
  // Writes every backup entry back into sector 0 exactly as stored.
  void restoreBackupPartitions();

  // The backup sector for the current table: its sector number (always 2) and its bytes
  // (one sector), for the caller to write.
  std::pair<u32, vrk::Buffer<u8>> createBackupMBRPartitionsSector() const;

 private:
  void findBackupPartitions();

  std::shared_ptr<IDisk> disk_;
  std::vector<PARTITION_TABLE_ENTRY> partitionTable_;
  boost::optional<std::vector<PARTITION_TABLE_ENTRY>> backupPartitionTable_;
};

}  // namespace vantor

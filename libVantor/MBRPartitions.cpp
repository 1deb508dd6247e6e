// libVantor/MBRPartitions.cpp
#include <libVantor/MBRPartitions.h>

#include <cstring>
#include <map>

#include <libVantor/VantorException.h>

namespace vantor {

namespace {

// Layout of the backup partitions sector.
constexpr char BACKUP_MAGIC[] = "VRK-MBR-PARTS";   // 13 characters, then one 0x00
constexpr u32 BACKUP_MAGIC_BYTES = 14;             // magic and its 0x00, as compared
constexpr u32 BACKUP_ENTRIES_OFFSET = 48;
constexpr u32 BACKUP_ENTRY_COUNT = 4;
constexpr u32 BACKUP_LAYOUT_BYTES = BACKUP_ENTRIES_OFFSET + BACKUP_ENTRY_COUNT * sizeof(PARTITION_TABLE_ENTRY);
static_assert(sizeof(BACKUP_MAGIC) == BACKUP_MAGIC_BYTES, "magic and its terminator fill 14 bytes");

// Type, start and count: what makes two entries the same partition.
bool samePartition(const PARTITION_TABLE_ENTRY& a, const PARTITION_TABLE_ENTRY& b) {
  return a.partitionType == b.partitionType && a.startLBA == b.startLBA && a.sectorCount == b.sectorCount;
}

}  // namespace

bool MBRPartitions::isBackupSector(const u8* sector, std::size_t size) {
  return size >= BACKUP_MAGIC_BYTES && std::memcmp(sector, BACKUP_MAGIC, BACKUP_MAGIC_BYTES) == 0;
}

MBRPartitions::MBRPartitions(std::shared_ptr<IDisk> disk) : disk_(std::move(disk)) { refresh(); }

void MBRPartitions::refresh() {
  partitionTable_ = PartitionTools::getPartitions(*disk_);
  findBackupPartitions();
}

void MBRPartitions::findBackupPartitions() {
  const u32 sectorSize = disk_->getSectorSize();
  if (sectorSize < BACKUP_LAYOUT_BYTES) return;
  vrk::Buffer<u8> sector(sectorSize);
  if (!disk_->readSectors(BACKUP_SECTOR, sector.data(), 1)) return;
  if (!isBackupSector(sector.data(), sector.size())) return;

  std::vector<PARTITION_TABLE_ENTRY> backup(BACKUP_ENTRY_COUNT);
  for (u32 i = 0; i < BACKUP_ENTRY_COUNT; ++i) {
    std::memcpy(&backup[i], sector.data() + BACKUP_ENTRIES_OFFSET + i * sizeof(PARTITION_TABLE_ENTRY),
                sizeof(PARTITION_TABLE_ENTRY));
  }

  bool anyUsed = false;
  for (const PARTITION_TABLE_ENTRY& entry : partitionTable_) {
    if (entry.partitionType == 0) continue;
    anyUsed = true;
    bool found = false;
    for (const PARTITION_TABLE_ENTRY& candidate : backup) {
      if (samePartition(entry, candidate)) {
        found = true;
        break;
      }
    }
    if (!found) return;
  }
  if (!anyUsed) return;
  backupPartitionTable_ = std::move(backup);
}

bool MBRPartitions::backupPartitionsAndMBRMatch() const {
  if (!backupPartitionTable_ || backupPartitionTable_->size() != partitionTable_.size()) return false;
  return *backupPartitionTable_ == partitionTable_;
}

bool MBRPartitions::isUsingLegacyAndPrimaryPartitions() const {
  if (partitionTable_.size() < 2) return false;
  u32 used = 0;
  for (const PARTITION_TABLE_ENTRY& entry : partitionTable_) {
    if (entry.partitionType != 0) ++used;
  }
  return used == 2 && partitionTable_[0].partitionType == LEGACY_PARTITION_TYPE &&
         partitionTable_[1].partitionType == PRIMARY_PARTITION_TYPE;
}

void MBRPartitions::selectBackupPartition(u32 index) {
  if (!backupPartitionTable_) {
    throw VantorException(ERR_INVALID_ARGUMENT, "No backup partitions found");
  }
  if (index >= backupPartitionTable_->size()) {
    throw VantorException(ERR_INVALID_ARGUMENT, vrk::SprintfFormat("Invalid partition number: %u", index));
  }
  PARTITION_TABLE_ENTRY entry = (*backupPartitionTable_)[index];
  if (entry.partitionType == 0 || entry.startLBA == 0) {
    throw VantorException(ERR_INVALID_ARGUMENT, "Specified partition number is empty or invalid");
  }
  entry.bootIndicator = 0x80;
  PartitionTools::writePartitionsToMBR(*disk_, std::vector<PARTITION_TABLE_ENTRY>{entry});
}

void MBRPartitions::selectBackupPartitionByType(u8 partitionType) {
  if (!backupPartitionTable_) {
    throw VantorException(ERR_INVALID_ARGUMENT, "No backup partitions found");
  }
  for (u32 i = 0; i < backupPartitionTable_->size(); ++i) {
    if ((*backupPartitionTable_)[i].partitionType == partitionType) {
      selectBackupPartition(i);
      return;
    }
  }
  throw VantorException(ERR_INVALID_ARGUMENT, "Could not find matching partition type");
}

void MBRPartitions::selectBackupPartitionByType(ComboType type) {
  switch (type) {
    case LEGACY:
      selectBackupPartitionByType(LEGACY_PARTITION_TYPE);
      return;
    case PRIMARY:
      selectBackupPartitionByType(PRIMARY_PARTITION_TYPE);
      return;
    case ALL:
      restoreBackupPartitions();
      return;
  }
  throw VantorException(ERR_INVALID_ARGUMENT, "Unexpected partition type");
}

void MBRPartitions::selectBackupPartitionByType(const vrk::String& typeName) {
  const std::map<vrk::String, ComboType> names = {{"legacy", LEGACY}, {"primary", PRIMARY}, {"all", ALL}};
  vrk::String key = typeName;
  key.toLower();
  const auto found = names.find(key);
  if (found != names.end()) {
    selectBackupPartitionByType(found->second);
    return;
  }
  vrk::Array<vrk::String> known;
  for (const auto& name : names) known.append(name.first);
  throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("Unexpected partition type: ") + "\"" + typeName +
                                                  "\", must be one of these types: " +
                                                  vrk::String::join(known, ", "));
}

void MBRPartitions::restoreBackupPartitions() {
  if (!backupPartitionTable_) {
    throw VantorException(ERR_INVALID_ARGUMENT, "No backup partitions found");
  }
  PartitionTools::writePartitionsToMBR(*disk_, *backupPartitionTable_);
}

std::pair<u32, vrk::Buffer<u8>> MBRPartitions::createBackupMBRPartitionsSector() const {
  const u32 sectorSize = disk_->getSectorSize();
  if (sectorSize < BACKUP_LAYOUT_BYTES) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE, vrk::SprintfFormat("%u sector size required", 512u));
  }
  vrk::Buffer<u8> sector(sectorSize);
  if (partitionTable_.size() != BACKUP_ENTRY_COUNT) {
    throw VantorException(ERR_INVALID_ARGUMENT, "No MBR partitions found.");
  }
  std::memcpy(sector.data(), BACKUP_MAGIC, BACKUP_MAGIC_BYTES);
  for (u32 i = 0; i < BACKUP_ENTRY_COUNT; ++i) {
    std::memcpy(sector.data() + BACKUP_ENTRIES_OFFSET + i * sizeof(PARTITION_TABLE_ENTRY), &partitionTable_[i],
                sizeof(PARTITION_TABLE_ENTRY));
  }
  return {BACKUP_SECTOR, std::move(sector)};
}

}  // namespace vantor

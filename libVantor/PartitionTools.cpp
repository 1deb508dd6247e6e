// libVantor/PartitionTools.cpp
#include <libVantor/PartitionTools.h>
#include <libVantor/WriteSafety.h>

#include <cstring>
#include <functional>
#include <utility>

#include <libVantor/VantorException.h>
#include <libVantor/LittleEndian.h>
#include <vrk/Array.h>

namespace vantor {

namespace {

constexpr u32 MBR_ENTRY_COUNT = 4;
constexpr u32 MIN_SECTOR_SIZE = 512;

// Remounts the drive when the table write ends, by either path, exactly once. The
// result of the remount is ignored: a failing remount raises nothing here, and neither
// does a throwing one (this runs while an exception may be unwinding the stack).
class RemountGuard {
 public:
  explicit RemountGuard(std::function<void()> onExit) : onExit_(std::move(onExit)) {}
  ~RemountGuard() {
    if (!onExit_) return;
    try {
      onExit_();
    } catch (...) {
      // The table is written (or the write failed and is being reported): a remount
      // that went wrong must not end the process or hide that outcome.
    }
  }
  RemountGuard(const RemountGuard&) = delete;
  RemountGuard& operator=(const RemountGuard&) = delete;

 private:
  std::function<void()> onExit_;
};

// Sector 0 is laid out for 512 bytes or more; smaller sectors cannot hold the table.
void requireTableSectorSize(const IDisk& disk) {
  if (disk.getSectorSize() < MIN_SECTOR_SIZE) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE, vrk::SprintfFormat("%u sector size required", MIN_SECTOR_SIZE));
  }
}

}  // namespace


bool operator==(const PARTITION_TABLE_ENTRY& a, const PARTITION_TABLE_ENTRY& b) {
  return std::memcmp(&a, &b, sizeof(PARTITION_TABLE_ENTRY)) == 0;
}

CHS_DATA PartitionTools::getCHSData(const CHSAddress& address) {
  CHS_DATA data;
  data.head = static_cast<u8>(address.head & 0xFF);
  data.sectorCylinderHigh = static_cast<u8>((address.sector & 0x3F) | ((address.cylinder >> 2) & 0xC0));
  data.cylinderLow = static_cast<u8>(address.cylinder & 0xFF);
  return data;
}

CHSAddress PartitionTools::getCHSAddress(const CHS_DATA& data) {
  CHSAddress address;
  address.cylinder = (u64(data.sectorCylinderHigh & 0xC0) << 2) | data.cylinderLow;
  address.head = data.head;
  address.sector = data.sectorCylinderHigh & 0x3F;
  return address;
}

void PartitionTools::buildPartitionEntry(const IDisk& disk, PARTITION_TABLE_ENTRY& entry, bool bootable,
                                         u8 partitionType, u32 startLBA, u32 sectorCount) {
  entry.bootIndicator = bootable ? 0x80 : 0x00;
  entry.partitionType = partitionType;
  entry.startLBA = startLBA;
  entry.sectorCount = sectorCount;

  const u32 lastLBA = startLBA + sectorCount - 1;  // 32-bit arithmetic on purpose
  if (boost::optional<CHSAddress> start = disk.getCHSAddressFromLBA(startLBA, true)) {
    entry.startCHS = getCHSData(*start);
  }
  if (boost::optional<CHSAddress> end = disk.getCHSAddressFromLBA(lastLBA, true)) {
    entry.endCHS = getCHSData(*end);
  }
}

std::vector<PARTITION_TABLE_ENTRY> PartitionTools::getPartitions(const IDisk& disk) {
  requireTableSectorSize(disk);
  vrk::Buffer<u8> sector(disk.getSectorSize());
  if (!disk.readSectors(0, sector.data(), 1)) {
    throw VantorException(ERR_DISK_ACCESS, "Could not access MBR.");
  }
  return entriesIn(sector.data());
}

std::vector<PARTITION_TABLE_ENTRY> PartitionTools::entriesIn(const u8* sector) {
  std::vector<PARTITION_TABLE_ENTRY> entries(MBR_ENTRY_COUNT);
  std::memcpy(entries.data(), sector + TABLE_OFFSET, MBR_ENTRY_COUNT * sizeof(PARTITION_TABLE_ENTRY));
  return entries;
}

void PartitionTools::writePartitionsToMBR(IDisk& disk, const std::vector<PARTITION_TABLE_ENTRY>& entries) {
  requireTableSectorSize(disk);
  vrk::Buffer<u8> sector(disk.getSectorSize());
  if (!disk.readSectors(0, sector.data(), 1)) {
    throw VantorException(ERR_DISK_ACCESS, "Could not read MBR.");
  }
  WriteSafety::refuseUnsafeWrites(disk);
  if (!disk.dismountDrive()) {
    throw VantorException(ERR_DISMOUNT_FAILED);
  }
  RemountGuard remount([&disk] { (void)disk.mountDrive(); });

  for (u32 i = 0; i < MBR_ENTRY_COUNT; ++i) {
    u8* slot = sector.data() + TABLE_OFFSET + i * sizeof(PARTITION_TABLE_ENTRY);
    if (i < entries.size()) {
      std::memcpy(slot, &entries[i], sizeof(PARTITION_TABLE_ENTRY));
    } else {
      std::memset(slot, 0, sizeof(PARTITION_TABLE_ENTRY));
    }
  }
  if (!disk.writeSectors(0, sector.data(), 1)) {
    throw VantorException(ERR_DISK_ACCESS, "Could not write MBR.");
  }
}

}  // namespace vantor

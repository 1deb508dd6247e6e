#include <libVantor/internal/MbrLayout.h>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/PartitionTypes.h>

namespace vantor {
namespace {

constexpr u32 MAX_CHAIN_LINKS = 256;

bool hasSignature(const u8* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

}  // namespace

MbrLayoutKind readMbrLayout(const IDisk& disk, std::vector<MbrPartition>& partitions,
                            std::vector<u64>* chainSectors) {
  partitions.clear();
  if (chainSectors) chainSectors->clear();
  const u32 sectorSize = disk.getSectorSize();
  if (sectorSize < 512) return MbrLayoutKind::Unreadable;
  DiskBufferPointer sector(sectorSize, DiskBufferPointer::OnFailure::Empty);
  if (!sector || !disk.readSectors(0, sector.get(), 1)) return MbrLayoutKind::Unreadable;
  const u8* mbr = sector.get();
  if (!hasSignature(mbr)) return MbrLayoutKind::NoTable;
  const std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::entriesIn(mbr);
  for (const PARTITION_TABLE_ENTRY& e : entries) {
    if (e.partitionType == partition_type::GPT_PROTECTIVE) return MbrLayoutKind::Gpt;
  }

  const u64 diskSectors = disk.getSizeBytes() / sectorSize;
  u64 extendedStart = 0, extendedCount = 0;
  for (u32 i = 0; i < 4; ++i) {
    const PARTITION_TABLE_ENTRY& e = entries[i];
    const MbrPartition p{i + 1, e.partitionType, e.startLBA, e.sectorCount};
    if (p.type == partition_type::EMPTY || p.sectorCount == 0 || p.startSector >= diskSectors) continue;
    // A chain that would start at sector 0 would read the MBR as its first record.
    if (partition_type::isExtended(p.type) && extendedCount == 0 && p.startSector != 0) {
      extendedStart = p.startSector;
      extendedCount = p.sectorCount;
    }
    partitions.push_back(p);
  }

  // Each extended boot record holds one logical partition (relative to the record) and a
  // link to the next record (relative to the extended partition's start).
  u64 ebr = extendedStart;
  u64 lastLink = 0;
  u32 number = 5;
  for (u32 links = 0; extendedCount != 0 && links < MAX_CHAIN_LINKS && ebr < diskSectors && ebr <= 0xFFFFFFFFull;
       ++links) {
    if (!disk.readSectors(static_cast<u32>(ebr), sector.get(), 1)) {
      partitions.clear();
      if (chainSectors) chainSectors->clear();
      return MbrLayoutKind::Unreadable;
    }
    const u8* s = sector.get();
    if (chainSectors) chainSectors->push_back(ebr);
    if (!hasSignature(s)) break;
    const std::vector<PARTITION_TABLE_ENTRY> record = PartitionTools::entriesIn(s);
    const PARTITION_TABLE_ENTRY& logical = record[0];
    const PARTITION_TABLE_ENTRY& link = record[1];
    const MbrPartition p{number, logical.partitionType, ebr + logical.startLBA, logical.sectorCount};
    if (p.type != partition_type::EMPTY && p.sectorCount != 0 && p.startSector < diskSectors) {
      partitions.push_back(p);
      ++number;
    }
    const u64 next = link.startLBA;
    if (!partition_type::isExtended(link.partitionType) || next <= lastLink || next >= extendedCount) break;
    lastLink = next;
    ebr = extendedStart + next;
  }
  return MbrLayoutKind::Mbr;
}

}  // namespace vantor

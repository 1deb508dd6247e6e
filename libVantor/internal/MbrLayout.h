// libVantor/internal/MbrLayout.h
// The partitions that sector 0 of a disk describes, read through IDisk: the four
// primary entries and the logical partitions of the first extended partition's chain,
// numbered as operating systems number them (1-4 primary, 5 on logical). Entries that
// are empty, have no sectors or start past the end of the disk are left out; a chain
// link that leaves the extended partition, points backwards or repeats ends the chain
// (at most 256 links), so a damaged or hostile table never loops or reads outside the
// disk; an extended entry that starts at sector 0 has no chain. Nothing is thrown for
// what the sectors hold; a failed read is reported, with no partitions.
#pragma once
#include <vector>

#include <libVantor/IDisk.h>

namespace vantor {

struct MbrPartition {
  u32 number = 0;       // 1-4 primary, 5 on logical
  u8 type = 0;
  u64 startSector = 0;  // absolute, in the disk's sectors
  u64 sectorCount = 0;  // as the entry says (an extended entry spans its whole chain)
};

enum class MbrLayoutKind {
  Unreadable,  // sector 0, or a sector of the chain, could not be read
  NoTable,     // sector 0 lacks the 0x55AA signature: no partitions
  Gpt,         // a protective entry (0xEE): the table lies elsewhere
  Mbr,         // `partitions` holds what the table describes
};

// `chainSectors`, when given, receives every extended boot record read (the records of
// the chain, in order), whatever it held.
MbrLayoutKind readMbrLayout(const IDisk& disk, std::vector<MbrPartition>& partitions,
                            std::vector<u64>* chainSectors = nullptr);

}  // namespace vantor

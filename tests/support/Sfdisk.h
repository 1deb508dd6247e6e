// tests/support/Sfdisk.h
// The partition table of a disk file as sfdisk reads it: the independent opinion that
// the partition tests hold our own tables against.
#pragma once
#include <ostream>
#include <string>
#include <vector>

#include <libVantor/Types.h>

namespace vantor::test {

// One partition as sfdisk reports it; slot counts from 0.
struct SfdiskEntry {
  u32 slot, start, size, type;
  bool bootable;
  friend bool operator==(const SfdiskEntry& a, const SfdiskEntry& b) {
    return a.slot == b.slot && a.start == b.start && a.size == b.size && a.type == b.type &&
           a.bootable == b.bootable;
  }
  friend std::ostream& operator<<(std::ostream& out, const SfdiskEntry& e) {
    return out << "{slot " << e.slot << ", start " << e.start << ", size " << e.size << ", type " << std::hex
               << e.type << std::dec << (e.bootable ? ", bootable}" : "}");
  }
};

// `sfdisk --json` of the file, entry by entry; empty when it finds no table.
std::vector<SfdiskEntry> sfdiskEntries(const std::string& image);

}  // namespace vantor::test

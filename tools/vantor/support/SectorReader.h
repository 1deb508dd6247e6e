// tools/vantor/support/SectorReader.h
// Single sectors of a disk, read for the host's own checks (what a target holds, a
// volume's boot sector). Drives are opened for direct transfers, which need
// page-aligned memory: the read goes through such a buffer and the bytes are handed
// back in an ordinary vector. No state.
#pragma once
#include <vector>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class SectorReader {
 public:
  // Sector `lba` of `disk`, getSectorSize() bytes; empty when it cannot be read.
  static std::vector<unsigned char> read(const IDisk& disk, u32 lba);
};

}  // namespace vantor::cli

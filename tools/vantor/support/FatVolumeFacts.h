// tools/vantor/support/FatVolumeFacts.h
// Names the FAT volumes of a drive's MBR table that the FAT-only map cannot read for
// their sector size, behind a library failure whose message names none. The facts are
// the library's usage record (FatVolumeUsage); never writes. No state.
#pragma once
#include <string>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class FatVolumeFacts {
 public:
  // For each FAT volume of a logical sector size or on a drive of a sector size other
  // than 512 bytes: "partition 1 (type 0x0c, from sector 2048): " and the library's
  // reason, joined by "; ", followed by the way around it. "" when there is none or the
  // table cannot be read.
  static std::string sectorSizeMismatches(IDisk& disk);
};

}  // namespace vantor::cli

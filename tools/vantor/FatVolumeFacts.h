// tools/vantor/FatVolumeFacts.h
// What the boot sectors of the FAT volumes in a drive's MBR table say, read by the
// host to name the volume behind a library failure whose message names none. Reads
// sector 0 and the first sector of each partition; never writes. No state.
#pragma once
#include <string>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class FatVolumeFacts {
 public:
  // For each FAT volume whose boot sector gives a logical sector size other than 512
  // bytes: "partition 1 (slot 0, type 0x0c, from sector 2048) is a FAT volume of
  // 4096-byte logical sectors", joined by "; ", followed by why that stops a capture (only
  // 512-byte logical sectors are mapped), the drive's own sector size and the way around
  // it. "" when there is none or the table cannot be read.
  static std::string sectorSizeMismatches(const IDisk& disk);
};

}  // namespace vantor::cli

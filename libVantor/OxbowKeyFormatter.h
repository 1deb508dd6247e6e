// libVantor/OxbowKeyFormatter.h
// Makes a USB key boot an Oxbow boot loader: format() lays the boot-loader file (its
// first sector becomes the MBR), zeroed reserved sectors and the payload file at the
// start of the key in one write, patches the boot loader's "VRK" header in the written
// copy (the files are never changed) and writes a two-entry table: the data partition
// over the rest of the key and the bootable entry after the boot loader. resetKey()
// zeroes the first 1024 sectors. Every check is made before anything is written; these
// are refused as well, after the sector-size check: a header whose 11 bytes do not fit
// in the file (ERR_INVALID_BOOT_LOADER; a version byte past the file's end reads as 0),
// a boot area of 65,536 sectors or more and a key smaller than the boot area (both
// ERR_INVALID_ARGUMENT). Failures throw VantorException. Keeps a copy of the device
// record (sharing its disk); no locking: use from one thread at a time.
#pragma once
#include <libVantor/DiskDevice.h>
#include <libVantor/Export.h>

namespace vantor {

class VANTOR_EXPORT OxbowKeyFormatter {
 public:
  // The layout that format() wrote (sectors of 512 bytes).
  struct FormatInfo {
    u16 bootLoaderSectors = 0;   // B
    u16 reservedSectors = 0;     // R
    u32 payloadFirstSector = 0;  // B + R
    u32 payloadLastSector = 0;   // B + R + P - 1
    u32 dataFirstSector = 0;     // T = B + R + P
    u32 dataLastSector = 0;      // last sector of the key
    u16 startSegment = 0;        // the load segment given
    u16 endSegment = 0;          // startSegment + payload bytes, 16-bit arithmetic
  };

  explicit OxbowKeyFormatter(DiskDevice& device);

  // Writes the boot area and the partition table; fills *formatInfo (when not null) only
  // after a successful write. startSegment must be 1000h or above.
  void format(const vrk::String& bootLoaderFile, const vrk::String& payloadFile, u16 startSegment,
              u16 reservedSectors, FormatInfo* formatInfo);
  // Writes 1024 sectors of zeros from sector 0, in one request.
  void resetKey();

 private:
  // One request of `sectorCount` sectors between a dismount and a mount; the drive is
  // not remounted when the write fails.
  void writeBufferToDisk(u64 firstSector, const u8* data, u32 sectorCount);

  DiskDevice device_;
};

}  // namespace vantor

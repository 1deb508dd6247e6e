// libVantor/OxbowKeyFormatter.h
// Makes a USB key boot an Oxbow boot loader. format() writes, in one request, the boot-loader
// file (its first sector becomes the MBR; its "VRK" header is patched in the written copy,
// never in the file), zeroed reserved sectors and the payload, with a table of a data
// partition over the rest of the key and a bootable entry right after the boot loader.
// resetKey() zeroes the first 1024 sectors. Every check comes before any write; beyond the
// listed ones, format refuses a header whose 11 bytes do not fit in the file
// (ERR_INVALID_BOOT_LOADER; a version byte past the file's end reads as 0), a boot area of
// 65,536 sectors or more, and a key smaller than the boot area (both ERR_INVALID_ARGUMENT).
// Throws VantorException. Holds a copy of the device record (sharing its disk); no locking.
#pragma once
#include <libVantor/DiskDevice.h>
#include <libVantor/Export.h>

namespace vantor {

class VANTOR_EXPORT OxbowKeyFormatter final {
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
  // Sectors resetKey() clears.
  static constexpr u32 RESET_SECTORS = 1024;
  // Writes RESET_SECTORS sectors of zeros from sector 0, in one request.
  void resetKey();

 private:
  // One request of `sectorCount` sectors between a dismount and a mount; the drive is
  // not remounted when the write fails.
  void writeBufferToDisk(u64 firstSector, const u8* data, u32 sectorCount);

  DiskDevice device_;
};

}  // namespace vantor

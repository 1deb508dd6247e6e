// libVantor/internal/NtfsVolumeMapper.h
// The sectors one NTFS volume uses, as drive LBAs: its boot area (the first 8 KiB, or the
// first cluster when larger), the backup boot sector after its last counted sector, and
// every cluster $Bitmap marks as used. Reads the boot sector when made; each
// getSectorMap() reads $Bitmap's MFT record and the bitmap itself, in requests of up to
// 1 MiB. Anything inconsistent is refused with ERR_UNSUPPORTED_FILE_SYSTEM, a failed read
// is ERR_DISK_ACCESS; both messages name the volume's first sector. The disk is not owned
// and must outlive the mapper. Move-only: a mapper owns a small transfer buffer, used by
// the constructor and, for volumes whose bitmap fits it, by getSectorMap(). No locking:
// one thread at a time.
//
// Choices made here:
// - Record 6 is read at its place in the MFT's first extent (records 0-15 always lie
//   there); its own record number, where the header has one, must say 6.
// - An attribute list in record 6 is tolerated only while record 6's unnamed $DATA still
//   describes the whole bitmap; a bitmap continued in other records is refused.
// - A compressed or encrypted bitmap is refused; a sparse run, and bytes past the
//   initialized size, read as free clusters. Bitmap bits past the cluster count are ignored.
// - Every sector of the file system, backup boot sector included, must lie inside the
//   volume and at or below drive sector FFFFFFFFh.
// - No memory for a transfer buffer reads as a failed read (ERR_DISK_ACCESS).
#pragma once
#include <cstddef>

#include <libVantor/IDisk.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

class NtfsVolumeMapper {
 public:
  // True when `head`, the first `size` bytes of a volume, hold an NTFS boot sector (by
  // content: OEM "NTFS    " at offset 3 and 0x55AA), whatever the partition type says.
  static bool recognises(const u8* head, std::size_t size);

  // Reads and checks the boot sector at `volumeStartSector` (a drive LBA) of a volume
  // that spans `volumeSectorCount` drive sectors. Throws VantorException.
  NtfsVolumeMapper(IDisk& disk, u32 volumeStartSector, u64 volumeSectorCount);

  // The used sectors as drive LBAs; `usedClusters`, when given, receives the number of
  // allocated clusters (left unchanged on failure). Throws VantorException.
  SectorMap getSectorMap(u64* usedClusters = nullptr) const;

  u32 getClusterBytes() const { return clusterBytes; }
  u64 getClusterCount() const { return clusterCount; }

 private:
  struct Run {
    u64 lcn = 0;
    u64 length = 0;  // clusters
    bool sparse = false;
  };
  struct BitmapLocation;

  // A transfer buffer for `bytes` at any offset, of at most 1 MiB; empty when no memory.
  DiskBufferPointer makeBuffer(u64 bytes) const;
  // Calls `take(bytes, n)` for the volume's bytes [offset, offset + length), read into
  // `buffer` in pieces as large as it that start and end on drive-sector boundaries.
  template <class Take>
  void readBytes(const DiskBufferPointer& buffer, u64 offset, u64 length, Take&& take) const;
  BitmapLocation locateBitmap(const DiskBufferPointer& buffer) const;
  // Adds the drive sectors that hold the volume's bytes [offset, offset + length).
  void addBytes(SectorMap& map, u64 offset, u64 length) const;

  IDisk* disk;
  DiskBufferPointer smallBuffer;  // may be empty: a read through it then fails
  u32 diskSectorBytes = 512;
  u32 volumeStartSector = 0;
  u32 sectorBytes = 0;         // the volume's own sector size
  u64 totalSectors = 0;        // volume sectors before the backup boot sector
  u32 clusterBytes = 0;
  u64 clusterCount = 0;
  u64 mftOffset = 0;           // bytes from the volume's start
  u32 recordBytes = 0;
};

}  // namespace vantor

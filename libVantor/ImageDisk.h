// libVantor/ImageDisk.h
// A captured image file seen as a read-only disk, without restoring it: sectors inside a
// run read from the file, every other sector reads as zeros, as on a drive the image was
// restored onto after zeroing. Its size is the capacity the image asks of a drive (the
// highest volume sector, or the highest used sector when that lies higher, plus one).
// Every read-only service works on it as on a drive: the used-sector map, the partition
// table, the backup sector. Writes fail; lockDrive and dismountDrive answer false, so no
// writing service gets past its first step. The image file is never written.
// The constructor refuses an image that restore would refuse, with the same codes and
// messages: ERR_FILE_ACCESS when the file cannot be mapped or is shorter than a header,
// ERR_INVALID_IMAGE_FILE for a foreign or damaged file, ERR_INCOMPATIBLE_IMAGE for
// another major version. A compressed image (docs/compressed_image.md) reads the same,
// its frames decompressed as reads reach them; a frame found damaged then fails the
// read. Copies share the mapping and its cache of frames. Reads may come from several
// threads at once.
#pragma once
#include <memory>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/IDisk.h>

namespace vantor {

class ImageBytes;

class VANTOR_EXPORT ImageDisk final : public IDisk {
 public:
  // The bytes of one run's record in the file; the record lies just before its data.
  static constexpr u32 RUN_RECORD_BYTES = 8;

  // One run of used sectors and where its data starts in the file.
  struct Run {
    u32 firstSector;
    u32 sectorCount;
    u64 fileOffset;
  };

  explicit ImageDisk(const vrk::String& imagePath);
  ImageDisk(const ImageDisk& other);
  ImageDisk& operator=(const ImageDisk& other);
  ~ImageDisk() override;

  ImageDisk* clone() const override;
  u64 getSizeBytes() const override { return sizeBytes; }
  // The size in sectors, cut to what 32-bit sector numbers reach.
  u32 getSizeSectors() const override;
  u32 getSectorSize() const override { return sectorSize; }
  bool lockDrive() override { return false; }
  bool dismountDrive() override { return false; }

  const vrk::String& getPath() const { return path; }
  // The header's fields and the run records, in file order.
  u16 getMajorVersion() const { return majorVersion; }
  u16 getMinorVersion() const { return minorVersion; }
  u64 getTotalSectors() const { return totalSectors; }
  u64 getFirstUsedSector() const { return firstUsedSector; }
  u64 getHighestVolumeSector() const { return highestVolumeSector; }
  const std::vector<Run>& getRuns() const { return runs; }
  // The image file's size in bytes, and the image's own (larger when the file is compressed).
  u64 getFileSize() const;
  u64 getImageSize() const;
  bool isCompressed() const;

  // True when the `size` bytes at `bytes` begin with an image header (its signature in place).
  static bool hasImageSignature(const void* bytes, u64 size);
  // True when the file at `path` is a compressed image (sound or damaged), told by its
  // content: a zstd frame first, a seek table last, an image header inside.
  static bool holdsCompressedImage(const vrk::String& path);

 protected:
  bool impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const override;
  // Always false: an image is never written through the disk.
  bool impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) override;

 private:
  std::shared_ptr<const ImageBytes> file;
  vrk::String path;
  u32 sectorSize = 0;
  u64 sizeBytes = 0;
  u16 majorVersion = 0;
  u16 minorVersion = 0;
  u64 totalSectors = 0;
  u64 firstUsedSector = 0;
  u64 highestVolumeSector = 0;
  std::vector<Run> runs;
  bool ascending = true;  // runs ascend without overlapping: a read looks up its runs
};

}  // namespace vantor

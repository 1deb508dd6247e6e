// tools/vantor/support/ImageFile.h
// What the host tells about an intact image file, as the library reads it (ImageDisk):
// its header's fields, its runs and its size. read() throws what the library
// throws for an image that restore would refuse: ERR_FILE_ACCESS (cannot be mapped,
// shorter than a header), ERR_INVALID_IMAGE_FILE (foreign or damaged, naming what is
// wrong), ERR_INCOMPATIBLE_IMAGE (another major version). So info and restore always
// agree on what is damaged.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::cli {

class ImageFile {
 public:
  static ImageFile read(const std::string& path);
  // Refuses (ERR_FILE_ACCESS) a path that exists and is not a regular file (symbolic
  // links followed): an image is always one. `argument` is the path as the user gave it.
  static void requireRegularFile(const std::string& path, const std::string& argument);
  // Refuses (ERR_INVALID_IMAGE_FILE) a compressed disk image at `path`, which `command`
  // cannot read in place, saying that nothing was written when `writing`.
  static void refuseCompressed(const std::string& path, const std::string& argument, const std::string& command,
                               bool writing);
  // True when the `size` bytes at `header` begin with an image header.
  static bool hasSignature(const unsigned char* header, std::size_t size);
  // True when the file at `path` begins with an image header (intact or not), or is a
  // compressed image.
  static bool startsWithImage(const std::string& path);

  // One run of used sectors and where its data lies in the file, in file order.
  struct Run {
    std::uint64_t firstSector = 0;
    std::uint64_t sectorCount = 0;
    std::uint64_t fileOffset = 0;
  };
  std::vector<Run> runs;

  std::uint32_t runCount = 0;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint64_t totalSectors = 0;
  std::uint32_t sectorSize = 0;
  std::uint64_t highestVolumeSector = 0;
  std::uint64_t fileSize = 0;

  bool gpt = false;         // the image's disk has a GPT
  bool compressed = false;  // the file is a compressed image (docs/compressed_image.md)

  std::uint64_t usedBytes() const { return totalSectors * sectorSize; }
  // The bytes a restore needs on its target: the header's figure (`headerBytes`, the
  // library's requiredCapacity), or for an MBR disk the end of the highest used sector
  // when that lies further (a restore refuses a drive that ends before it). A GPT's
  // backup table is made anew at the target's end, so there the header's figure stands.
  std::uint64_t requiredBytes(std::uint64_t headerBytes) const;
};

}  // namespace vantor::cli

// libVantor/internal/ImageFormat.h
// The disk image file: a 90-byte header, then one record per run of used sectors (an
// 8-byte run header and the run's sectors, back to back). Little-endian, packed, no
// padding anywhere; docs/image_format.md describes the layout in prose.
// parseImageHeader validates a header (signature with its zero byte first, then the
// major version) and throws VantorException (11, 12); checkImageRuns proves that every
// run record lies inside the file and that the header's totals agree with them, so a
// damaged file is refused before a single sector is written.
#pragma once
#include <libVantor/Types.h>
#include <vrk/String.h>

namespace vantor {

class ImageBytes;

namespace image {
constexpr u32 HEADER_SIZE = 90;
constexpr u32 RUN_HEADER_SIZE = 8;
constexpr u16 MAJOR_VERSION = 2;
constexpr u16 MINOR_VERSION = 0;
constexpr u32 SIGNATURE_OFFSET = 40;
constexpr u32 SIGNATURE_SIZE = 21;  // the text and its zero byte
constexpr char SIGNATURE[] = "QUILLMARK IMAGE FILE";
static_assert(sizeof(SIGNATURE) == SIGNATURE_SIZE, "signature text plus its zero byte");
constexpr u32 CHUNK_SECTORS = 256;
}  // namespace image

struct ImageHeader {
  u32 runCount = 0;
  u16 majorVersion = image::MAJOR_VERSION;
  u16 minorVersion = image::MINOR_VERSION;
  u64 totalSectors = 0;
  u32 sectorSize = 0;
  u64 firstUsedSector = 0;
  u64 highestVolumeSector = 0;
  u32 firstRunOffset = image::HEADER_SIZE;
};

// The header's 90 bytes, signature and zero reserved bytes included.
void encodeImageHeader(const ImageHeader& header, u8 out[image::HEADER_SIZE]);
void encodeRunHeader(u32 firstSector, u32 numSectors, u8 out[image::RUN_HEADER_SIZE]);
// Reads and validates the first 90 bytes of `bytes`.
ImageHeader parseImageHeader(const u8* bytes);
// Walks the run records of an image of `bytes.size()` bytes with `sectorSize`-byte
// sectors. Throws ERR_INVALID_IMAGE_FILE naming `path` and what is wrong when a record
// reaches past the end of the image, the runs do not add up to totalSectors, or bytes
// follow the last record. Returns the highest sector a run holds (0 without runs).
u64 checkImageRuns(const ImageHeader& header, const ImageBytes& bytes, u32 sectorSize, const vrk::String& path);

}  // namespace vantor

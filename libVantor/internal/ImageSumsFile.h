// libVantor/internal/ImageSumsFile.h
// The contents of an image's checksum file, IMAGE.sums (layout in docs/image_sums.md):
// the image's size and sector size, a digest of its header and run table, and one digest
// per chunk of 256 sectors of each run's data, in file order (XXH3, 64 bits, seed 0).
// encode() gives the file's bytes, parse() reads them back and says what is wrong with
// bytes that are not such a file. digest() is the one digest every part of it uses.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <libVantor/Types.h>

namespace vantor {

struct ImageSumsFile {
  static constexpr u32 CHUNK_SECTORS = 256;
  static constexpr std::size_t FIXED_BYTES = 52;  // everything before the chunk digests

  u32 sectorSize = 0;
  u64 imageSize = 0;
  u64 table = 0;            // the header and every run header, in file order
  std::vector<u64> chunks;  // run by run, chunk by chunk

  static u64 digest(const void* data, std::size_t size);
  std::vector<u8> encode() const;
  // False, with what is wrong in `problem`, for bytes that are not a checksum file of
  // this version.
  static bool parse(const u8* bytes, std::size_t size, ImageSumsFile& out, std::string& problem);
};

}  // namespace vantor

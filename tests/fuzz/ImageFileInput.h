// tests/fuzz/ImageFileInput.h
// How ImageFileFuzz reads its input (the list at the top of ImageFileFuzz.cpp): the
// options of one execution and the image file they lay out. The corpus test
// (tests/ImageCorpusTest.cpp) reads the target's seeds through it as well, so that both
// make the same file of the same input.
#pragma once
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <libVantor/internal/ImageFormat.h>

#include "FuzzInput.h"

namespace vantor::fuzz {

constexpr u64 IMAGE_FILE_LIMIT = 256u << 10;  // bytes of an image file at most: a run of two chunks
constexpr u64 IMAGE_DISK_LIMIT = 4u << 20;    // bytes of the disk at most (sparse: costs what is written)

// The bytes of an image file; past its end every byte reads as zero.
struct ImageBytes : std::vector<u8> {
  u8 byteAt(u64 offset) const { return offset < size() ? (*this)[offset] : 0; }
  void put(u64 offset, u64 v, u32 width) {
    if (size() < offset + width) resize(offset + width);
    for (u32 b = 0; b < width; ++b) (*this)[offset + b] = static_cast<u8>(v >> (8 * b));
  }
};

struct ImageFileInput {
  u8 options = 0;
  u32 sectorSize = 512;  // of the disk restored onto
  u32 sectors = 256;     // of that disk
  u32 k = 0;             // which transfer fails
  ImageBytes file;

  // A first byte 0xFF: the rest of the input is the file as it stands.
  bool raw() const { return options == 0xFF; }

  static ImageFileInput read(const uint8_t* data, std::size_t size) {
    static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
    FuzzInput in(data, size);
    ImageFileInput input;
    input.options = in.byte();
    if (input.raw()) {
      std::size_t n = 0;
      const uint8_t* rest = in.rest(n);
      input.file.assign(rest, rest + std::min<u64>(n, IMAGE_FILE_LIMIT));
      return input;
    }
    input.sectorSize = SECTOR_SIZES[input.options & 7];
    input.sectors = 1 + in.u16le() % static_cast<u32>(IMAGE_DISK_LIMIT / input.sectorSize);
    input.k = in.byte();
    input.build(in);
    return input;
  }

  // Runs where the input places them (after the last, anywhere, at the disk's end), of
  // a few sectors, about a chunk, none or any count; the header that describes them;
  // padding before the first record, the end cut or extended, a few bytes broken.
  void build(FuzzInput& in) {
    const u32 ss = sectorSize;
    file.assign(image::HEADER_SIZE, 0);
    if (in.byte() % 4 == 3) file.resize(file.size() + 1 + in.byte() % 64, 0xC3);  // before the first record
    const u64 firstRunOffset = file.size();
    const u32 runCount = in.below(9);
    u64 next = 0, total = 0, highest = 0, firstUsed = 0;
    for (u32 i = 0; i < runCount; ++i) {
      const u8 placement = in.byte(), length = in.byte();
      u64 first = placement % 4 == 0 ? next + placement / 4 % 4 : sectors - std::min<u32>(sectors, placement / 4 % 8);
      if (placement % 4 == 1) first = in.u32le();
      if (placement % 4 == 2) first = in.u16le() % (u64(sectors) + 8);
      u64 count = length % 4 == 0 ? 1 + length / 4 % 8 : image::CHUNK_SECTORS - 4 + length / 4 % 16;
      if (length % 4 == 2) count = 0;
      if (length % 4 == 3) count = in.u16le();
      count = std::min<u64>(count, (IMAGE_FILE_LIMIT - std::min(IMAGE_FILE_LIMIT, file.size() + 8)) / ss);
      file.put(file.size(), first, 4);
      file.put(file.size(), count, 4);
      for (u64 j = 0; j < count * ss; ++j) file.push_back(static_cast<u8>(i * 37 + 1 + j * 131 + (j >> 8)));
      firstUsed = i == 0 ? first : firstUsed;
      highest = count ? std::max(highest, first + count - 1) : highest;
      next = first + count;
      total += count;
    }
    const u8 volume = in.byte();  // the highest volume sector: of the runs, further, any, past any capacity
    u64 highestVolume = highest;
    if (volume % 4 == 1) highestVolume += in.below(sectors + 1);
    if (volume % 4 == 2) highestVolume = in.u32le();
    if (volume % 4 == 3) highestVolume = ~u64(0) - volume / 4;
    file.put(0, runCount, 4);
    file.put(4, image::MAJOR_VERSION, 2);
    file.put(6, image::MINOR_VERSION, 2);
    file.put(8, total, 8);
    file.put(16, ss, 4);
    file.put(20, firstUsed, 8);
    file.put(28, highestVolume, 8);
    file.put(36, firstRunOffset, 4);
    std::copy(image::SIGNATURE, image::SIGNATURE + image::SIGNATURE_SIZE, file.begin() + image::SIGNATURE_OFFSET);
    const u8 end = in.byte();
    if (end % 4 == 1) file.resize(file.size() + 1 + end / 4);  // zeros after the last record
    if (end % 4 == 2) file.resize(file.size() - std::min<u64>(file.size(), 1 + end / 4));
    if (end % 4 == 3) file.resize(in.u32le() % (file.size() + 1));
    for (u32 n = file.empty() ? 0 : in.below(4); n > 0; --n) file[in.below(file.size())] = in.byte();
  }

  // The file's bytes at `path`.
  void write(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot write the image file");
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !written) fail("cannot write the image file");
  }
};

}  // namespace vantor::fuzz

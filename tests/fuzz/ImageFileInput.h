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

// Lays out an image file from the input, then breaks what the input asks for.
inline void buildImage(FuzzInput& in, Layout& file, u32 ss, u32 sectors) {
  const u32 runCount = in.below(9);
  u64 offset = image::HEADER_SIZE;
  const u8 padding = in.byte();
  if (padding % 4 == 3) {  // bytes between the header and the first record
    file.fill(offset, 1 + padding / 4, 0xC3);
    offset += 1 + padding / 4;
  }
  const u64 firstRunOffset = offset;
  u64 next = 0, total = 0, highest = 0, firstUsed = 0;
  for (u32 i = 0; i < runCount; ++i) {
    const u8 placement = in.byte();
    const u8 length = in.byte();
    u64 first;
    switch (placement % 4) {
      case 0: first = next + placement / 4 % 4; break;  // ascending, as capture writes them
      case 1: first = in.u16le() % (u64(sectors) + 8); break;
      case 2: first = in.u32le(); break;
      default: first = sectors - std::min<u32>(sectors, placement / 4 % 8); break;  // at the end
    }
    u64 count;
    switch (length % 4) {
      case 0: count = 1 + length / 4 % 8; break;
      case 1: count = image::CHUNK_SECTORS - 4 + length / 4 % 16; break;  // around a chunk
      case 2: count = 0; break;
      default: count = in.u16le(); break;
    }
    const u64 room = offset + image::RUN_HEADER_SIZE < IMAGE_FILE_LIMIT ? IMAGE_FILE_LIMIT - offset - image::RUN_HEADER_SIZE : 0;
    if (count > room / ss) count %= room / ss + 1;  // the file stays below its limit
    first = std::min<u64>(first, 0xFFFFFFFF);
    file.put32(offset, static_cast<u32>(first));
    file.put32(offset + 4, static_cast<u32>(count));
    offset += image::RUN_HEADER_SIZE;
    file.fill(offset, count * ss, static_cast<u8>(i * 37 + 1));
    offset += count * ss;
    if (i == 0) firstUsed = first;
    if (count) highest = std::max(highest, first + count - 1);
    next = first + count;
    total += count;
  }
  u64 highestVolume = highest;
  const u8 volume = in.byte();
  switch (volume % 4) {
    case 0: break;
    case 1: highestVolume += in.below(sectors + 1); break;
    case 2: highestVolume = in.u32le(); break;
    default: highestVolume = ~u64(0) - volume / 4; break;
  }
  file.put32(0, runCount);
  file.put16(4, image::MAJOR_VERSION);
  file.put16(6, image::MINOR_VERSION);
  file.put64(8, total);
  file.put32(16, ss);
  file.put64(20, firstUsed);
  file.put64(28, highestVolume);
  file.put32(36, static_cast<u32>(firstRunOffset));
  file.putText(image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE);
  file.setSize(std::max<u64>(offset, image::HEADER_SIZE));

  const u8 end = in.byte();
  switch (end % 4) {
    case 0: break;
    case 1: file.setSize(file.size() + 1 + end / 4); break;  // zeros after the last record
    case 2: file.setSize(file.size() - std::min<u64>(file.size(), 1 + end / 4)); break;
    default: file.setSize(in.u16le() % (file.size() + 1)); break;
  }
  file.corrupt(in);
}

struct ImageFileInput {
  u8 options = 0;
  u8 mode = 0;          // 0 with raw()
  u32 sectorSize = 0;   // of the disk restored onto
  u32 sectors = 0;      // of that disk
  u32 k = 0;            // which transfer fails, which report aborts
  Layout file{IMAGE_FILE_LIMIT, 4096};

  // A first byte 0xFF: the rest of the input is the file as it stands.
  bool raw() const { return options == 0xFF; }

  static ImageFileInput read(const uint8_t* data, std::size_t size) {
    static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
    FuzzInput in(data, size);
    ImageFileInput input;
    input.options = in.byte();
    input.mode = input.raw() ? 0 : in.byte();
    input.sectorSize = input.raw() ? 512 : SECTOR_SIZES[input.options & 7];
    input.sectors = input.raw() ? 256 : 1 + in.u16le() % static_cast<u32>(IMAGE_DISK_LIMIT / input.sectorSize);
    input.k = in.byte();
    if (input.raw()) {
      std::size_t n = 0;
      const uint8_t* rest = in.rest(n);
      input.file.copy(0, rest, n);
      input.file.setSize(std::min<u64>(n, IMAGE_FILE_LIMIT));
    } else {
      buildImage(in, input.file, input.sectorSize, input.sectors);
    }
    return input;
  }

  // The file's bytes at `path`.
  void write(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot write the image file");
    std::vector<u8> block(64 * 1024);
    for (u64 offset = 0; offset < file.size(); offset += block.size()) {
      const u64 n = std::min<u64>(block.size(), file.size() - offset);
      file.read(offset, n, block.data());
      if (std::fwrite(block.data(), 1, n, f) != n) fail("cannot write the image file");
    }
    if (std::fclose(f) != 0) fail("cannot write the image file");
  }
};

}  // namespace vantor::fuzz

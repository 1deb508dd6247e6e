#include <libVantor/internal/CompressedImageFormat.h>

#include <libVantor/LittleEndian.h>

namespace vantor {

using namespace compressed_image;

bool hasSeekTableFooter(const u8* bytes, u64 size) {
  return size >= 4 + SKIPPABLE_HEADER_SIZE + FOOTER_SIZE && readLE32(bytes) == ZSTD_FRAME_MAGIC &&
         readLE32(bytes + size - 4) == SEEKABLE_MAGIC;
}

bool isStoredFrame(const u8* frame, u32 compressedSize, u32 decompressedSize) {
  return decompressedSize <= MOST_STORED_BYTES && compressedSize == storedFrameSize(decompressedSize) &&
         readLE32(frame) == ZSTD_FRAME_MAGIC && frame[4] == 0 && frame[5] == STORED_WINDOW &&
         frame[compressedSize - 3] == 1 && frame[compressedSize - 2] == 0 && frame[compressedSize - 1] == 0;
}

bool parseSeekTable(const u8* bytes, u64 size, SeekTable& table, std::string& why) {
  table = SeekTable{};
  if (!hasSeekTableFooter(bytes, size)) {
    why = "it does not end with a seek table";
    return false;
  }
  const u8* footer = bytes + size - FOOTER_SIZE;
  const u32 count = readLE32(footer);
  const u8 descriptor = footer[4];
  if (descriptor & RESERVED_BITS) {
    why = "the seek table's descriptor sets reserved bits";
    return false;
  }
  table.checksums = (descriptor & CHECKSUM_FLAG) != 0;
  const u64 entrySize = table.checksums ? ENTRY_SIZE : 8;
  const u64 content = u64(count) * entrySize + FOOTER_SIZE;  // at most 2^32 * 12 + 9: no wrap
  if (content + SKIPPABLE_HEADER_SIZE > size) {
    why = "the seek table's " + std::to_string(count) + " entries do not fit in the file";
    return false;
  }
  const u64 tableStart = size - content - SKIPPABLE_HEADER_SIZE;
  if (readLE32(bytes + tableStart) != SKIPPABLE_MAGIC || readLE32(bytes + tableStart + 4) != content) {
    why = "the seek table's frame header is missing or gives another size";
    return false;
  }
  if (count == 0) {
    why = "the seek table lists no frame";
    return false;
  }
  table.frames.resize(count);
  const u8* entry = bytes + tableStart + SKIPPABLE_HEADER_SIZE;
  u64 compressed = 0, decompressed = 0;
  for (u32 i = 0; i < count; ++i, entry += entrySize) {
    SeekTableEntry& e = table.frames[i];
    e.compressedSize = readLE32(entry);
    e.decompressedSize = readLE32(entry + 4);
    e.checksum = table.checksums ? readLE32(entry + 8) : 0;
    if (e.compressedSize == 0 || e.decompressedSize == 0) {
      why = "frame " + std::to_string(i + 1) + " of the seek table is empty";
      return false;
    }
    if (e.compressedSize > tableStart - compressed) {
      why = "the frames the seek table lists reach past its own start";
      return false;
    }
    if (e.decompressedSize > MOST_FRAME_BYTES && !isStoredFrame(bytes + compressed, e.compressedSize, e.decompressedSize)) {
      why = "frame " + std::to_string(i + 1) + " of the seek table is larger than a compressed frame may be";
      return false;
    }
    compressed += e.compressedSize;
    decompressed += e.decompressedSize;
  }
  if (compressed != tableStart) {
    why = std::to_string(tableStart - compressed) + " bytes lie between the last frame and the seek table";
    return false;
  }
  table.framesBytes = compressed;
  table.imageBytes = decompressed;
  return true;
}

std::vector<u8> encodeSeekTable(const std::vector<SeekTableEntry>& frames) {
  const u32 content = static_cast<u32>(frames.size() * ENTRY_SIZE + FOOTER_SIZE);
  std::vector<u8> out(SKIPPABLE_HEADER_SIZE + content);
  writeLE32(out.data(), SKIPPABLE_MAGIC);
  writeLE32(out.data() + 4, content);
  u8* at = out.data() + SKIPPABLE_HEADER_SIZE;
  for (const SeekTableEntry& e : frames) {
    writeLE32(at, e.compressedSize);
    writeLE32(at + 4, e.decompressedSize);
    writeLE32(at + 8, e.checksum);
    at += ENTRY_SIZE;
  }
  writeLE32(at, static_cast<u32>(frames.size()));
  at[4] = CHECKSUM_FLAG;
  writeLE32(at + 5, SEEKABLE_MAGIC);
  return out;
}

}  // namespace vantor

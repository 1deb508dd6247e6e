// libVantor/internal/CompressedImageFormat.h
// The compressed image file: the image file's bytes (ImageFormat.h) cut into pieces of
// FRAME_BYTES, each compressed as an independent zstd frame, then a seek table in a zstd
// skippable frame: one entry per frame (compressed size, decompressed size, the low 32
// bits of the XXH64 digest of the decompressed bytes), then a 9-byte footer (frame count,
// descriptor byte, seekable magic). Little-endian; docs/compressed_image.md describes it.
// hasSeekTableFooter tells the layout by its last bytes alone; parseSeekTable checks the
// table's own arithmetic (nothing is decompressed) and says what is wrong on failure.
#pragma once
#include <string>
#include <vector>

#include <libVantor/Types.h>

namespace vantor {

namespace compressed_image {
constexpr u32 ZSTD_FRAME_MAGIC = 0xFD2FB528;
constexpr u32 SKIPPABLE_MAGIC = 0x184D2A5E;
constexpr u32 SEEKABLE_MAGIC = 0x8F92EAB1;
constexpr u32 SKIPPABLE_HEADER_SIZE = 8;  // magic, content size
constexpr u32 FOOTER_SIZE = 9;            // frame count, descriptor, seekable magic
constexpr u8 CHECKSUM_FLAG = 0x80;        // descriptor bit 7: entries carry a checksum
constexpr u8 RESERVED_BITS = 0x7C;        // descriptor bits 2-6: must be zero
constexpr u32 ENTRY_SIZE = 12;            // with checksums; 8 without
// The uncompressed bytes of every frame but the last, as written: 32 chunks of 256
// sectors of 512 bytes. Smaller frames cost ratio: each starts its matches and entropy
// tables afresh (1 MiB frames made a system image about 5 % larger than one zstd stream).
constexpr u32 FRAME_BYTES = 4u << 20;
constexpr int FRAME_WINDOW_LOG = 22;  // a match may reach back across the whole frame
// The largest frame a reader accepts, decompressed, but for a stored frame: it bounds the
// memory of one frame.
constexpr u32 MOST_FRAME_BYTES = 4u << 20;
static_assert(FRAME_BYTES == 1u << FRAME_WINDOW_LOG && FRAME_BYTES <= MOST_FRAME_BYTES, "frames as written are read");

// A stored frame: noise, written as one zstd frame of stored blocks. Its header states no
// content size (a 128 KiB window instead); every block holds STORED_BLOCK_BYTES but the
// last one with data, and none is marked last: an empty last block ends the frame. Its
// bytes are read where they lie in the file, not decompressed, so it may hold up to
// MOST_STORED_BYTES (captures write one for a piece's noise, or two around a table;
// earlier ones joined noise in a row).
constexpr u32 STORED_HEADER_SIZE = 6;  // magic, descriptor 0, window descriptor
constexpr u8 STORED_WINDOW = 7 << 3;   // a window of 2^(10 + 7) bytes: one whole block
constexpr u32 STORED_BLOCK_BYTES = 128u << 10;
constexpr u32 BLOCK_HEADER_SIZE = 3;
constexpr u32 MOST_STORED_BYTES = 1u << 30;
// The file bytes of a stored frame holding `bytes` (at most MOST_STORED_BYTES).
constexpr u32 storedFrameSize(u32 bytes) {
  return STORED_HEADER_SIZE + bytes + BLOCK_HEADER_SIZE * ((bytes + STORED_BLOCK_BYTES - 1) / STORED_BLOCK_BYTES + 1);
}
}  // namespace compressed_image

struct SeekTableEntry {
  u32 compressedSize = 0;
  u32 decompressedSize = 0;
  u32 checksum = 0;  // low 32 bits of XXH64 (seed 0) of the decompressed bytes
};

struct SeekTable {
  std::vector<SeekTableEntry> frames;
  bool checksums = false;
  u64 framesBytes = 0;  // the compressed frames' bytes: the table's skippable frame starts here
  u64 imageBytes = 0;   // the decompressed bytes of every frame
};

// True when the `size` bytes at `bytes` begin with a zstd frame and end with the footer
// of a seek table (its magic); nothing else is looked at.
bool hasSeekTableFooter(const u8* bytes, u64 size);
// True when the `compressedSize` bytes at `frame` have a stored frame's header, size and
// empty last block for `decompressedSize` bytes (its blocks are checked as they are read).
bool isStoredFrame(const u8* frame, u32 compressedSize, u32 decompressedSize);
// Reads the seek table at the end of the `size` bytes at `bytes` into `table`. False,
// with `why` saying what is wrong, when the footer, the skippable frame around the table
// or the entries do not agree with each other or the file: the sizes of the frames must
// add up to where the table starts, no frame may be empty or decompress to more than
// MOST_FRAME_BYTES unless it is a stored frame.
bool parseSeekTable(const u8* bytes, u64 size, SeekTable& table, std::string& why);
// The skippable frame holding `frames` (with checksums) and the footer.
std::vector<u8> encodeSeekTable(const std::vector<SeekTableEntry>& frames);

}  // namespace vantor

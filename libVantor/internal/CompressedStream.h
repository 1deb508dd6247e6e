// libVantor/internal/CompressedStream.h
// A compressed disk image read front to back as the stream of its decompressed bytes:
// gzip (members one after another), xz (every stream; blocks decoded on two threads),
// zstd (every frame), bzip2 (streams one after another), and a zip archive that holds
// exactly one file, stored or deflated. The kind is told by the file's first bytes,
// never by its name.
//
// Memory stays bounded whatever the image's size: the file is mapped and its pages
// leave the process once decoded, xz's threaded decoder may take up to 160 MiB and falls
// back to one thread beyond that, and no decoder is allowed more than 256 MiB (a stream
// that asks more is refused as such).
//
// size() is the decompressed size where the file states it without being decoded
// (xz's index, a zip's directory); gzip, bzip2 and zstd do not (a zstd frame may state
// its own, which leastSize() gives), and a stream is then only measured by reading it
// through.
// Every failure throws VantorException(ERR_INVALID_IMAGE_FILE) saying what is wrong and,
// mid-stream, how many bytes were decompressed before it; a build without a decoder
// refuses its kind on opening. Use from one thread.
#pragma once
#include <cstddef>
#include <memory>

#include <boost/optional.hpp>

#include <libVantor/Types.h>
#include <vrk/Files.h>
#include <vrk/String.h>

namespace vantor {

class CompressedStream {
 public:
  enum Kind { NOT_COMPRESSED, GZIP, XZ, ZSTD, BZIP2, ZIP };
  // The kind the first `size` bytes of a file announce (NOT_COMPRESSED for any other).
  static Kind kindOf(const u8* bytes, std::size_t size);
  // The kind of the file at `path`; NOT_COMPRESSED too for a file that cannot be read.
  static Kind kindOfFile(const vrk::String& path);
  // "gzip", "xz", "zstd", "bzip2", "zip"; "" for NOT_COMPRESSED.
  static const char* nameOf(Kind kind);

  // Opens the file; throws for a file that cannot be read, one of no kind above, a zip
  // with several files or none, and a kind this build cannot decode.
  explicit CompressedStream(const vrk::String& path);
  ~CompressedStream();
  CompressedStream(const CompressedStream&) = delete;
  CompressedStream& operator=(const CompressedStream&) = delete;

  Kind kind() const { return kind_; }
  const vrk::String& path() const { return path_; }
  boost::optional<u64> size() const { return size_; }
  // The least the stream holds, as far as its file states without being decoded; 0
  // when it does not.
  u64 leastSize() const { return size_ ? *size_ : leastSize_; }
  // Fills `into` with the next `n` bytes; answers fewer only at the stream's end. A
  // stream that ends before the size its file states is refused as damaged.
  std::size_t read(u8* into, std::size_t n);
  u64 produced() const { return produced_; }
  // How far into the compressed file decoding has got, of fileSize() bytes.
  u64 consumed() const;
  u64 fileSize() const { return fileSize_; }

  struct Decoder;  // one per kind

 private:
  [[noreturn]] void fail(const vrk::String& what) const;

  vrk::String path_;
  Kind kind_ = NOT_COMPRESSED;
  std::unique_ptr<vrk::MMapFile> file_;
  u64 fileSize_ = 0;
  boost::optional<u64> size_;
  u64 leastSize_ = 0;
  u64 produced_ = 0;
  bool ended_ = false;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace vantor

#include <libVantor/internal/CompressedStream.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <libVantor/VantorException.h>

#if VANTOR_HAVE_DECOMPRESSION
#include <bzlib.h>
#include <lzma.h>
#include <unzip.h>
#include <zlib.h>
#include <zstd.h>
#endif

namespace vantor {
namespace {

// What the xz decoder may take with two threads, and at most with one.
constexpr u64 XZ_THREADED_MEMORY = 160ull << 20;
constexpr u64 DECODER_MEMORY = 256ull << 20;
// zlib and bzip2 count their input in 32 bits: they get the file in pieces this large.
constexpr u64 PIECE_BYTES = 1ull << 30;

// A decoder's complaint, turned into the stream's error by read().
struct Damaged : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A file that is sound but cannot be written as a disk (a zip of several files), said as is.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

// Decodes the next bytes of the stream into `out`: up to `n`, fewer only at its end (0
// once it is over). Throws Damaged.
struct CompressedStream::Decoder {
  virtual ~Decoder() = default;
  virtual std::size_t decode(u8* out, std::size_t n) = 0;
  virtual u64 consumed() const = 0;  // compressed bytes taken in
};

namespace {

#if VANTOR_HAVE_DECOMPRESSION
const char* const TRUNCATED = "the file ends before the compressed stream does";

// gzip: members one after another, as `gzip -d` reads them; bytes after the last member
// that do not start another are ignored, as there.
class GzipDecoder : public CompressedStream::Decoder {
 public:
  GzipDecoder(const u8* data, u64 size) : data_(data), size_(size) {
    if (inflateInit2(&z_, 15 + 32) != Z_OK) throw Damaged("zlib could not start");
  }
  ~GzipDecoder() override { inflateEnd(&z_); }
  std::size_t decode(u8* out, std::size_t n) override {
    std::size_t got = 0;
    while (got < n && !over_) {
      if (z_.avail_in == 0 && fed_ < size_) {
        z_.next_in = const_cast<Bytef*>(data_ + fed_);
        z_.avail_in = static_cast<uInt>(std::min(size_ - fed_, PIECE_BYTES));
        fed_ += z_.avail_in;
      }
      z_.next_out = out + got;
      z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n - got, UINT_MAX));
      const uInt room = z_.avail_out;
      const int result = inflate(&z_, Z_NO_FLUSH);
      got += room - z_.avail_out;
      if (result == Z_STREAM_END) {
        const u64 at = consumed();
        if (at + 2 <= size_ && data_[at] == 0x1F && data_[at + 1] == 0x8B) {
          inflateReset(&z_);
        } else {
          over_ = true;
        }
      } else if (result == Z_BUF_ERROR || (result == Z_OK && z_.avail_in == 0 && fed_ == size_ && z_.avail_out > 0)) {
        throw Damaged(TRUNCATED);
      } else if (result != Z_OK) {
        throw Damaged(z_.msg ? z_.msg : "the compressed data is damaged");
      }
    }
    return got;
  }
  u64 consumed() const override { return static_cast<u64>(z_.next_in ? z_.next_in - data_ : 0); }

 private:
  const u8* data_;
  u64 size_;
  u64 fed_ = 0;
  z_stream z_{};
  bool over_ = false;
};

// bzip2: streams one after another, as `bzip2 -d` reads them.
class Bzip2Decoder : public CompressedStream::Decoder {
 public:
  Bzip2Decoder(const u8* data, u64 size) : data_(data), size_(size) { start(); }
  ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&s_); }
  std::size_t decode(u8* out, std::size_t n) override {
    std::size_t got = 0;
    while (got < n && !over_) {
      if (s_.avail_in == 0 && fed_ < size_) {
        s_.next_in = reinterpret_cast<char*>(const_cast<u8*>(data_ + fed_));
        s_.avail_in = static_cast<unsigned>(std::min(size_ - fed_, PIECE_BYTES));
        fed_ += s_.avail_in;
      }
      s_.next_out = reinterpret_cast<char*>(out + got);
      s_.avail_out = static_cast<unsigned>(std::min<std::size_t>(n - got, UINT_MAX));
      const unsigned room = s_.avail_out;
      const int result = BZ2_bzDecompress(&s_);
      got += room - s_.avail_out;
      if (result == BZ_STREAM_END) {
        const u64 at = consumed();
        if (at + 4 <= size_ && std::memcmp(data_ + at, "BZh", 3) == 0) {
          BZ2_bzDecompressEnd(&s_);
          const char* next = s_.next_in;
          const unsigned left = s_.avail_in;
          start();
          s_.next_in = const_cast<char*>(next);
          s_.avail_in = left;
        } else {
          over_ = true;
        }
      } else if (result == BZ_OK) {
        if (s_.avail_in == 0 && fed_ == size_ && s_.avail_out > 0) throw Damaged(TRUNCATED);
      } else if (result == BZ_MEM_ERROR) {
        throw Damaged("bzip2 ran out of memory");
      } else {
        throw Damaged("the compressed data is damaged");
      }
    }
    return got;
  }
  u64 consumed() const override {
    return s_.next_in ? static_cast<u64>(reinterpret_cast<const u8*>(s_.next_in) - data_) : 0;
  }

 private:
  void start() {
    s_ = bz_stream{};
    if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw Damaged("bzip2 could not start");
  }
  const u8* data_;
  u64 size_;
  u64 fed_ = 0;
  bz_stream s_{};
  bool over_ = false;
};

const char* xzProblem(lzma_ret result) {
  switch (result) {
    case LZMA_FORMAT_ERROR: return "the xz stream's header is damaged";
    case LZMA_OPTIONS_ERROR: return "the xz stream uses options this decoder does not know";
    case LZMA_DATA_ERROR: return "the compressed data is damaged";
    case LZMA_BUF_ERROR: return TRUNCATED;
    case LZMA_MEMLIMIT_ERROR: return "the xz stream needs more than 256 MiB of memory to decode";
    case LZMA_MEM_ERROR: return "the xz decoder ran out of memory";
    default: return "the xz decoder failed";
  }
}

// xz: every stream of the file, blocks decoded on two threads where they fit the memory
// allowed, else on one.
class XzDecoder : public CompressedStream::Decoder {
 public:
  XzDecoder(const u8* data, u64 size) : data_(data) {
    lzma_mt mt{};
    mt.flags = LZMA_CONCATENATED;
    mt.threads = 2;
    mt.memlimit_threading = XZ_THREADED_MEMORY;
    mt.memlimit_stop = DECODER_MEMORY;
    const lzma_ret result = lzma_stream_decoder_mt(&s_, &mt);
    if (result != LZMA_OK) throw Damaged(xzProblem(result));
    s_.next_in = data;
    s_.avail_in = static_cast<std::size_t>(size);
  }
  ~XzDecoder() override { lzma_end(&s_); }
  std::size_t decode(u8* out, std::size_t n) override {
    if (over_) return 0;
    s_.next_out = out;
    s_.avail_out = n;
    while (s_.avail_out > 0) {
      const lzma_ret result = lzma_code(&s_, LZMA_FINISH);
      if (result == LZMA_STREAM_END) {
        over_ = true;
        break;
      }
      if (result != LZMA_OK) throw Damaged(xzProblem(result));
    }
    return n - s_.avail_out;
  }
  u64 consumed() const override { return static_cast<u64>(s_.next_in - data_); }

  // The decompressed size of every stream of the file, from their indexes at the ends
  // of the streams (nothing is decompressed); none when they cannot be read.
  static boost::optional<u64> sizeOf(const u8* data, u64 size) {
    lzma_stream s = LZMA_STREAM_INIT;
    lzma_index* index = nullptr;
    if (lzma_file_info_decoder(&s, &index, DECODER_MEMORY, size) != LZMA_OK) return boost::none;
    boost::optional<u64> total;
    s.next_in = data;
    s.avail_in = static_cast<std::size_t>(size);
    for (;;) {
      const lzma_ret result = lzma_code(&s, s.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
      if (result == LZMA_SEEK_NEEDED && s.seek_pos <= size) {
        s.next_in = data + s.seek_pos;
        s.avail_in = static_cast<std::size_t>(size - s.seek_pos);
        continue;
      }
      if (result == LZMA_OK) continue;
      if (result == LZMA_STREAM_END) {
        total = lzma_index_uncompressed_size(index);
        lzma_index_end(index, nullptr);
      }
      break;
    }
    lzma_end(&s);
    return total;
  }

 private:
  const u8* data_;
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool over_ = false;
};

// zstd: every frame of the file (skippable ones pass unseen), windows up to 128 MiB.
class ZstdDecoder : public CompressedStream::Decoder {
 public:
  ZstdDecoder(const u8* data, u64 size) : in_{data, static_cast<std::size_t>(size), 0} {
    if (!d_) throw Damaged("zstd could not start");
    ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, 27);
  }
  ~ZstdDecoder() override { ZSTD_freeDCtx(d_); }
  // A frame whose header states its size must hold exactly that many bytes: the decoder
  // does not hold every frame to it.
  std::size_t decode(u8* out, std::size_t n) override {
    ZSTD_outBuffer buffer{out, n, 0};
    while (buffer.pos < buffer.size && !over_) {
      if (frameStart_) {
        stated_ = ZSTD_getFrameContentSize(static_cast<const u8*>(in_.src) + in_.pos, in_.size - in_.pos);
        frameBytes_ = 0;
        frameStart_ = false;
      }
      const std::size_t before = buffer.pos, inBefore = in_.pos;
      const std::size_t result = ZSTD_decompressStream(d_, &buffer, &in_);
      if (ZSTD_isError(result)) throw Damaged(ZSTD_getErrorName(result));
      frameBytes_ += buffer.pos - before;
      if (result == 0) {  // the end of a frame
        if (stated_ < ZSTD_CONTENTSIZE_ERROR && frameBytes_ != stated_) {
          throw Damaged(vrk::SprintfFormat("a zstd frame holds %I64u bytes, not the %I64u its header states",
                                           u64(frameBytes_), u64(stated_))
                              .str());
        }
        frameStart_ = true;
        over_ = in_.pos == in_.size;
      } else if (buffer.pos == before && in_.pos == inBefore) {
        throw Damaged(TRUNCATED);
      }
    }
    return buffer.pos;
  }
  u64 consumed() const override { return in_.pos; }

  // The first frame's content size, when it carries one: the least the stream holds.
  // (The whole stream's size would take a walk over every block of every frame.)
  static u64 leastSizeOf(const u8* data, u64 size) {
    const unsigned long long content = ZSTD_getFrameContentSize(data, static_cast<std::size_t>(size));
    return content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR ? 0 : content;
  }

 private:
  ZSTD_DCtx* d_ = ZSTD_createDCtx();
  ZSTD_inBuffer in_;
  bool over_ = false;
  bool frameStart_ = true;
  unsigned long long stated_ = ZSTD_CONTENTSIZE_UNKNOWN;  // of the frame being read
  u64 frameBytes_ = 0;                                    // decompressed so far from it
};

// A zip archive's one file, through minizip, which reads the archive from the mapped
// file by the calls below. The directory must list exactly one file (folders aside),
// neither encrypted nor compressed but stored or deflated; its CRC-32 is checked once
// it is read through.
class ZipDecoder : public CompressedStream::Decoder {
 public:
  ZipDecoder(const u8* data, u64 size) : data_(data), size_(size) {
    zlib_filefunc64_def calls{};
    calls.zopen64_file = [](voidpf self, const void*, int) -> voidpf { return self; };
    calls.zread_file = [](voidpf, voidpf self, void* into, uLong n) -> uLong {
      return static_cast<ZipDecoder*>(self)->readFile(into, n);
    };
    calls.zwrite_file = [](voidpf, voidpf, const void*, uLong) -> uLong { return 0; };
    calls.ztell64_file = [](voidpf, voidpf self) -> ZPOS64_T { return static_cast<ZipDecoder*>(self)->at_; };
    calls.zseek64_file = [](voidpf, voidpf self, ZPOS64_T offset, int origin) -> long {
      return static_cast<ZipDecoder*>(self)->seekFile(offset, origin) ? 0 : -1;
    };
    calls.zclose_file = [](voidpf, voidpf) -> int { return 0; };
    calls.zerror_file = [](voidpf, voidpf self) -> int { return static_cast<ZipDecoder*>(self)->shortRead_ ? 1 : 0; };
    calls.opaque = this;
    zip_.reset(unzOpen2_64("", &calls));
    if (!zip_) throw Damaged("its directory cannot be read");

    int files = 0;
    unz_file_info64 file{};
    unz64_file_pos chosen{};
    unzFile zip = zip_.get();
    int result = unzGoToFirstFile(zip);
    for (; result == UNZ_OK; result = unzGoToNextFile(zip)) {
      unz_file_info64 entry{};
      std::string name;
      if (unzGetCurrentFileInfo64(zip, &entry, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
      name.resize(entry.size_filename + 1);
      const uLong room = static_cast<uLong>(name.size());
      if (unzGetCurrentFileInfo64(zip, &entry, &name[0], room, nullptr, 0, nullptr, 0) != UNZ_OK) break;
      name.resize(entry.size_filename);
      const bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\') && entry.uncompressed_size == 0;
      const bool unixLink = (entry.version >> 8) == 3 && ((entry.external_fa >> 16) & 0170000) == 0120000;
      if (folder || unixLink) continue;
      if (++files == 1 && unzGetFilePos64(zip, &chosen) == UNZ_OK) file = entry;
    }
    if (result != UNZ_END_OF_LIST_OF_FILE) throw Damaged("its directory is damaged");
    if (files != 1) {
      throw Refused(files == 0 ? "the zip archive holds no file"
                               : "the zip archive holds " + std::to_string(files) +
                                     " files; only a zip of one disk image can be written");
    }
    if (file.flag & 1) throw Refused("the zip archive's file is encrypted");
    if (file.compression_method != 0 && file.compression_method != Z_DEFLATED) {
      throw Refused("the zip archive's file is compressed with method " + std::to_string(file.compression_method) +
                    "; Vantor reads stored and deflated files");
    }
    if (unzGoToFilePos64(zip, &chosen) != UNZ_OK || unzOpenCurrentFile(zip) != UNZ_OK) {
      throw Damaged("its file's header is damaged");
    }
    open_ = true;
    stated_ = file.uncompressed_size;
  }
  std::size_t decode(u8* out, std::size_t n) override {
    std::size_t got = 0;
    while (got < n && open_) {
      const unsigned piece = static_cast<unsigned>(std::min<std::size_t>(n - got, PIECE_BYTES));
      const int result = unzReadCurrentFile(zip_.get(), out + got, piece);
      if (result < 0) throw Damaged(readFailure(result));
      if (result == 0) {
        open_ = false;
        if (unzCloseCurrentFile(zip_.get()) == UNZ_CRCERROR) {
          throw Damaged("its file's CRC-32 does not match its bytes");
        }
      }
      got += static_cast<std::size_t>(result);
    }
    return got;
  }
  u64 consumed() const override { return at_; }
  u64 stated() const { return stated_; }

 private:
  static std::string readFailure(int result) {
    switch (result) {
      case Z_DATA_ERROR: return "its file's deflate stream is damaged";
      case Z_BUF_ERROR: return "its file's deflate stream goes on past the compressed size the directory states";
      case UNZ_ERRNO: return TRUNCATED;
      default: return "minizip could not read its file (" + std::to_string(result) + ")";
    }
  }
  uLong readFile(void* into, uLong n) {
    const u64 take = std::min<u64>(n, size_ - at_);
    shortRead_ = shortRead_ || take < n;
    std::memcpy(into, data_ + at_, static_cast<std::size_t>(take));
    at_ += take;
    return static_cast<uLong>(take);
  }
  // minizip moves back from where it is by a negative offset cast to ZPOS64_T.
  bool seekFile(u64 offset, int origin) {
    const u64 base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? at_ : size_;
    const u64 to = base + offset;  // modulo 2^64: a step back wraps round to below base
    if (to > size_) return false;
    at_ = to;
    return true;
  }

  const u8* data_;
  u64 size_;
  u64 at_ = 0;  // where minizip reads next
  bool shortRead_ = false;  // a read ran past the file's end
  struct Close {
    void operator()(void* zip) const { (void)unzClose(zip); }  // and its file, if open
  };
  std::unique_ptr<void, Close> zip_;
  bool open_ = false;
  u64 stated_ = 0;
};
#endif

}  // namespace

CompressedStream::Kind CompressedStream::kindOf(const u8* b, std::size_t size) {
  if (size >= 3 && b[0] == 0x1F && b[1] == 0x8B && b[2] == 0x08) return GZIP;
  if (size >= 6 && std::memcmp(b, "\xFD" "7zXZ\0", 6) == 0) return XZ;
  if (size >= 4 && b[0] == 0x28 && b[1] == 0xB5 && b[2] == 0x2F && b[3] == 0xFD) return ZSTD;
  if (size >= 4 && std::memcmp(b, "BZh", 3) == 0 && b[3] >= '1' && b[3] <= '9') return BZIP2;
  if (size >= 4 && std::memcmp(b, "PK\x03\x04", 4) == 0) return ZIP;
  return NOT_COMPRESSED;
}

CompressedStream::Kind CompressedStream::kindOfFile(const vrk::String& path) {
  const vrk::MMapFile file(path);
  return file.data() ? kindOf(file.data(), static_cast<std::size_t>(std::min<u64>(file.size(), 8))) : NOT_COMPRESSED;
}

const char* CompressedStream::nameOf(Kind kind) {
  switch (kind) {
    case GZIP: return "gzip";
    case XZ: return "xz";
    case ZSTD: return "zstd";
    case BZIP2: return "bzip2";
    case ZIP: return "zip";
    default: return "";
  }
}

CompressedStream::CompressedStream(const vrk::String& path) : path_(path) {
  file_ = std::make_unique<vrk::MMapFile>(path);
  if (!file_->data()) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + path + "\"");
  }
  fileSize_ = file_->size();
  kind_ = kindOf(file_->data(), static_cast<std::size_t>(std::min<u64>(fileSize_, 8)));
  if (kind_ == NOT_COMPRESSED) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\" is not a compressed disk image");
  }
#if VANTOR_HAVE_DECOMPRESSION
  try {
    switch (kind_) {
      case GZIP: decoder_ = std::make_unique<GzipDecoder>(file_->data(), fileSize_); break;
      case BZIP2: decoder_ = std::make_unique<Bzip2Decoder>(file_->data(), fileSize_); break;
      case XZ:
        size_ = XzDecoder::sizeOf(file_->data(), fileSize_);
        decoder_ = std::make_unique<XzDecoder>(file_->data(), fileSize_);
        break;
      case ZSTD:
        leastSize_ = ZstdDecoder::leastSizeOf(file_->data(), fileSize_);
        decoder_ = std::make_unique<ZstdDecoder>(file_->data(), fileSize_);
        break;
      case ZIP: {
        auto zip = std::make_unique<ZipDecoder>(file_->data(), fileSize_);
        size_ = zip->stated();
        decoder_ = std::move(zip);
        break;
      }
      default: break;
    }
  } catch (const Damaged& damaged) {
    fail(damaged.what());
  } catch (const Refused& refused) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\": " + refused.what());
  }
  if (file_) file_->adviseSequential();
#else
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path + "\" is " + nameOf(kind_) +
                                                    "-compressed, and this build of Vantor cannot decompress images");
#endif
}

CompressedStream::~CompressedStream() = default;

u64 CompressedStream::consumed() const { return decoder_ ? decoder_->consumed() : 0; }

std::size_t CompressedStream::read(u8* into, std::size_t n) {
  std::size_t got = 0;
  if (!ended_) {
    try {
      got = decoder_->decode(into, n);
    } catch (const Damaged& damaged) {
      fail(damaged.what());
    }
    if (got < n) ended_ = true;
  }
  produced_ += got;
  if (size_ && (produced_ > *size_ || (ended_ && produced_ < *size_))) {
    fail(vrk::SprintfFormat("the stream holds %s bytes than the %I64u its file states", ended_ ? "fewer" : "more",
                            *size_));
  }
  if (file_) file_->readingAt(consumed());
  return got;
}

void CompressedStream::fail(const vrk::String& what) const {
  vrk::String where = produced_ == 0 ? vrk::String()
                                     : vrk::SprintfFormat(" after %I64u bytes were decompressed", produced_);
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("The ") + nameOf(kind_) + "-compressed image \"" + path_ +
                                                    "\" is damaged" + where + ": " + what);
}

}  // namespace vantor

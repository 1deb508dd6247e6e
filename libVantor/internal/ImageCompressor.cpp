#include <libVantor/internal/ImageCompressor.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <vrk/MutexLock.h>

#if VANTOR_HAVE_DECOMPRESSION
#include <xxhash.h>
#include <zstd.h>
#endif

namespace vantor {

using Lock = vrk::MutexLock<vrk::Mutex>;

namespace {

constexpr std::size_t BLOCK_BYTES = 128u << 10;  // the largest zstd block
// Every 17th byte of a block is counted: a step prime to every power of two, so that
// records of 16, 32, ... bytes are sampled at each of their offsets alike.
constexpr std::size_t SAMPLE_STEP = 17;
// Noise, so sampled, shows about 7.97 bits of entropy per byte; text, tables, code and
// zeros far less. Above this, no entropy coder gains a percent.
constexpr double NOISE_BITS = 7.95;
constexpr std::size_t WORD_STEP = 512;  // the words looked for twice start a sector apart
constexpr std::size_t SPLIT_BLOCKS = 8;  // the least noise a piece begins or ends with that is stored
// Tables are sampled every 256 bytes; each sample looks at two numbers at 4 offsets.
constexpr std::size_t TABLE_SAMPLE_STEP = 256;
// The levels at which a table is compressed by the optimal parser: the lowest two are
// asked for speed, and from 18 on the level's own parser takes 3-byte matches.
constexpr int TABLE_LEVELS_FROM = 3;
constexpr int TABLE_LEVELS_TO = 17;

// True when the block's sampled bytes are spread evenly over all 256 values.
bool looksEven(const u8* block) {
  std::array<u32, 256> counts{};
  std::size_t samples = 0;
  for (std::size_t i = 0; i < BLOCK_BYTES; i += SAMPLE_STEP, ++samples) ++counts[block[i]];
  double bits = 0;
  for (u32 c : counts) {
    if (c != 0) bits -= c * std::log2(static_cast<double>(c) / samples);
  }
  return bits >= NOISE_BITS * samples;
}

// True when no 8-byte word at the start of a sector of the `size` bytes, but for those
// in [skipFrom, skipTo), occurs twice (it would in a run of sectors repeated a whole
// number of sectors later, which compresses though its bytes are even). `seen` is the
// caller's.
bool wordsDiffer(const u8* bytes, std::size_t size, std::size_t skipFrom, std::size_t skipTo, std::vector<u64>& seen) {
  // Open addressing over twice as many slots as words; 0 marks a free slot (a zero word
  // is not noise).
  const std::size_t words = (size - (skipTo - skipFrom)) / WORD_STEP + 1;
  std::size_t slots = 1;
  while (slots < 2 * words) slots <<= 1;
  seen.assign(slots, 0);
  const auto differ = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i + 8 <= size; i += WORD_STEP) {
      u64 word;
      std::memcpy(&word, bytes + i, sizeof word);
      if (word == 0) return false;
      std::size_t slot = static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ull) >> 20) & (slots - 1);
      while (seen[slot] != 0) {
        if (seen[slot] == word) return false;
        slot = (slot + 1) & (slots - 1);
      }
      seen[slot] = word;
    }
    return true;
  };
  return differ(0, skipFrom) && differ(skipTo, size);
}

// True when the bytes look like an allocation table of 32-bit numbers: a FAT32's cluster
// chains are runs of numbers each one more than the one before, at whatever offset the
// image's records put them. At least an eighth of the sampled neighbours must count up
// so. (A FAT16's 16-bit chains gain nothing from the optimal parser.)
bool looksLikeTable(const u8* bytes, std::size_t size) {
  std::size_t samples = 0, up = 0;
  for (std::size_t i = 0; i + 12 <= size; i += TABLE_SAMPLE_STEP, ++samples) {
    bool counts = false;
    for (std::size_t k = 0; k < 4 && !counts; ++k) counts = readLE32(bytes + i + k + 4) == readLE32(bytes + i + k) + 1;
    up += counts;
  }
  return samples > 0 && up * 8 >= samples;
}

// What of a piece to compress, [from, to), and whether as a table (looksLikeTable, where
// `tables` allows); the rest is noise as far as a compressor can tell without compressing
// it, to be stored as zstd itself would store it. Data already compressed or encrypted
// and random files mostly are. Noise is blocks whose sampled bytes look even (a short last
// block is judged with the bytes before it, as too few samples look uneven), without a
// word repeated (wordsDiffer). A piece is stored when it is all noise. Its head or tail of
// noise is split from a table only, which takes the optimal parser far longer than zstd
// takes to store noise, and only when SPLIT_BLOCKS long: its own stored frame would cost
// more than the time it saves. Beside other data noise is left to zstd with the rest: a
// few blocks are a weaker sample than a whole piece, and a file already compressed but
// stored twice within a MiB passes for noise though zstd gains by it. A piece shorter
// than a block is compressed. `seen` is the caller's, kept between pieces.
struct Span {
  std::size_t from, to;
  bool table;
};
Span compressedSpan(const u8* bytes, std::size_t size, bool tables, std::vector<u64>& seen) {
  const auto whole = [&] { return Span{0, size, tables && looksLikeTable(bytes, size)}; };
  if (size < BLOCK_BYTES) return whole();
  const std::size_t blocks = (size + BLOCK_BYTES - 1) / BLOCK_BYTES;
  const auto even = [&](std::size_t block) {
    return looksEven(bytes + std::min((block + 1) * BLOCK_BYTES, size) - BLOCK_BYTES);
  };
  std::size_t head = 0, tail = blocks;
  while (head < blocks && even(head)) ++head;
  if (head == blocks) return wordsDiffer(bytes, size, size, size, seen) ? Span{size, size, false} : whole();
  while (even(tail - 1)) --tail;
  if (head < SPLIT_BLOCKS) head = 0;
  if (blocks - tail < SPLIT_BLOCKS) tail = blocks;
  const Span table{head * BLOCK_BYTES, std::min(tail * BLOCK_BYTES, size), true};
  if (table.from == 0 && table.to == size) return whole();
  if (!tables || !looksLikeTable(bytes + table.from, table.to - table.from)) return Span{0, size, false};
  return wordsDiffer(bytes, size, table.from, table.to, seen) ? table : whole();
}

}  // namespace

bool ImageCompressor::available() {
#if VANTOR_HAVE_DECOMPRESSION
  return true;
#else
  return false;
#endif
}

ImageCompressor::ImageCompressor(int level, Output out) : level_(level), out_(std::move(out)) {
  if (!available()) {
    throw VantorException(ERR_INVALID_ARGUMENT, "this build of Vantor cannot compress images");
  }
  filling_.reserve(compressed_image::FRAME_BYTES);
  try {
    for (std::size_t i = 0; i < THREADS; ++i) threads_.emplace_back([this] { work(); });
    writer_ = std::thread([this] { writeFrames(); });
  } catch (...) {
    stop();
    throw;
  }
}

ImageCompressor::~ImageCompressor() { stop(); }

void ImageCompressor::stop() {
  {
    Lock guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
  if (writer_.joinable()) writer_.join();
}

void ImageCompressor::work() {
#if VANTOR_HAVE_DECOMPRESSION
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  std::vector<u64> seen;
#endif
  for (;;) {
    std::shared_ptr<Frame> frame;
    {
      Lock guard(lock_);
      while (!stopping_ && pending_.empty()) lock_.wait(changed_);
      if (stopping_) return;
      frame = pending_.front();
      pending_.pop_front();
    }
    try {
#if VANTOR_HAVE_DECOMPRESSION
      if (!context) throw VantorException(ERR_GENERAL, "zstd could not start");
      const u8* in = frame->input.data();
      const Span span = compressedSpan(in, frame->input.size(),
                                       level_ >= TABLE_LEVELS_FROM && level_ <= TABLE_LEVELS_TO, seen);
      frame->from = span.from;
      frame->to = span.to;
      // The noise's checksums too, here rather than on the writer thread: all it has to do
      // then is hand the frames to the output, as fast as they come.
      if (span.from > 0) frame->headChecksum = static_cast<u32>(XXH64(in, span.from, 0));
      if (span.to < frame->input.size()) {
        frame->tailChecksum = static_cast<u32>(XXH64(in + span.to, frame->input.size() - span.to, 0));
      }
      if (span.from < span.to) {
        const u8* part = in + span.from;
        const std::size_t size = span.to - span.from;
        frame->checksum = static_cast<u32>(XXH64(part, size, 0));
        frame->output.resize(ZSTD_compressBound(size));
        // A frame states its size, as the reader checks against the seek table.
        (void)ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
        (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level_);
        // The level's own window is smaller at the fast levels; no frame refers to another,
        // so one that spans the frame costs no reader more memory than the frame itself.
        (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, compressed_image::FRAME_WINDOW_LOG);
        if (span.table) {
          // Numbers counting up are a literal byte and a 3-byte match at the last offset,
          // again and again, which only the optimal parser prices right: a FAT so
          // compressed is about 2.5 times smaller than at the fast levels. At its
          // shallowest search it takes 45-65 ms a MiB of table here, against 3 at level 4.
          (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_strategy, ZSTD_btopt);
          (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_minMatch, 3);
          (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_searchLog, 1);
        }
        const std::size_t n = ZSTD_compress2(context.get(), frame->output.data(), frame->output.size(), part, size);
        if (ZSTD_isError(n)) {
          throw VantorException(ERR_GENERAL, vrk::String("zstd could not compress a frame: ") + ZSTD_getErrorName(n));
        }
        frame->outputSize = n;
      }
#endif
    } catch (...) {
      frame->failure = std::current_exception();
    }
    {
      Lock guard(lock_);
      frame->done = true;
    }
    changed_.notify_all();
  }
}

void ImageCompressor::append(const void* bytes, std::size_t size) {
  const u8* in = static_cast<const u8*>(bytes);
  appended_ += size;
  while (size > 0) {
    const std::size_t take = std::min(size, compressed_image::FRAME_BYTES - filling_.size());
    filling_.insert(filling_.end(), in, in + take);
    in += take;
    size -= take;
    if (filling_.size() == compressed_image::FRAME_BYTES) submit();
  }
}

void ImageCompressor::submit() {
  waitForRoom(false);
  std::shared_ptr<Frame> frame;
  {
    Lock guard(lock_);
    if (!spare_.empty()) {
      frame = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!frame) frame = std::make_shared<Frame>();
  frame->input.swap(filling_);
  filling_.clear();  // a written frame's buffer: filled anew without being allocated and paged in again
  filling_.reserve(compressed_image::FRAME_BYTES);
  {
    Lock guard(lock_);
    queue_.push_back(frame);
    pending_.push_back(frame);
  }
  changed_.notify_all();
}

// Returns once one more frame may wait to be written (`all`: once none waits); throws
// what stopped the writing. A frame found to be noise holds nothing but its bytes, so
// such frames may wait behind one still being compressed, up to MOST_QUEUED in all: a
// table takes the optimal parser longer than the reading of the noise after it.
void ImageCompressor::waitForRoom(bool all) {
  Lock guard(lock_);
  for (;;) {
    if (outFailure_) std::rethrow_exception(outFailure_);
    std::size_t busy = 0;
    for (const std::shared_ptr<Frame>& frame : queue_) busy += !frame->done || frame->from < frame->to;
    if (all ? queue_.empty() : busy < IN_FLIGHT && queue_.size() < MOST_QUEUED) return;
    lock_.wait(changed_);
  }
}

// The writer thread: each frame, once compressed and its turn, goes to the output; the
// first failure (the frame's own or the output's) ends the writing.
void ImageCompressor::writeFrames() {
  for (;;) {
    std::shared_ptr<Frame> frame;
    {
      Lock guard(lock_);
      while (!stopping_ && (queue_.empty() || !queue_.front()->done)) lock_.wait(changed_);
      if (stopping_) return;
      frame = queue_.front();  // stays in the queue, counted, until written
    }
    std::exception_ptr failure = frame->failure;
    std::vector<SeekTableEntry> written;  // in the order of the file
    if (!failure) {
      try {
        const u8* in = frame->input.data();
        if (frame->from > 0) written.push_back(writeStored(in, frame->from, frame->headChecksum));
        if (frame->from < frame->to) {
          out_(frame->output.data(), frame->outputSize);
          written.push_back(
              {static_cast<u32>(frame->outputSize), static_cast<u32>(frame->to - frame->from), frame->checksum});
        }
        if (frame->to < frame->input.size()) {
          written.push_back(writeStored(in + frame->to, frame->input.size() - frame->to, frame->tailChecksum));
        }
      } catch (...) {
        failure = std::current_exception();
      }
    }
    {
      Lock guard(lock_);
      if (failure) {
        outFailure_ = failure;
      } else {
        entries_.insert(entries_.end(), written.begin(), written.end());
        frame->outputSize = 0;
        frame->done = false;
        queue_.pop_front();
        spare_.push_back(std::move(frame));
      }
    }
    changed_.notify_all();
    if (failure) return;
  }
}

// A stored frame of the `size` bytes of noise at `piece` (of one piece, so at most
// FRAME_BYTES), as zstd itself would store them: its header, the blocks from where they
// lie, none marked last, then an empty last block. Pieces are split into noise and the
// rest at whole blocks, and only the image's last piece can end short of one, so a
// stored frame's blocks are whole but its last. Returns its seek table entry.
SeekTableEntry ImageCompressor::writeStored(const u8* piece, std::size_t size, u32 checksum) {
  u8 head[compressed_image::STORED_HEADER_SIZE];
  writeLE32(head, compressed_image::ZSTD_FRAME_MAGIC);
  head[4] = 0;  // no content size, no checksum, no dictionary, not a single segment
  head[5] = compressed_image::STORED_WINDOW;
  out_(head, sizeof head);
  for (std::size_t at = 0; at < size; at += BLOCK_BYTES) {
    const std::size_t n = std::min(BLOCK_BYTES, size - at);
    writeLE32(head, static_cast<u32>(n << 3));  // block type 0: stored as it is; not the last
    out_(head, compressed_image::BLOCK_HEADER_SIZE);
    out_(piece + at, n);
  }
  const u8 last[compressed_image::BLOCK_HEADER_SIZE] = {1, 0, 0};  // an empty stored block, the last
  out_(last, sizeof last);
  return {compressed_image::storedFrameSize(static_cast<u32>(size)), static_cast<u32>(size), checksum};
}

void ImageCompressor::finish() {
  if (!filling_.empty()) submit();
  waitForRoom(true);  // every frame written, and the writer waits for more
  std::vector<u8> table;
  {
    Lock guard(lock_);
    table = encodeSeekTable(entries_);
  }
  out_(table.data(), table.size());
}

}  // namespace vantor

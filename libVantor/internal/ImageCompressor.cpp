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

// True when the frame is noise as far as a compressor can tell without compressing it:
// every block's sampled bytes are spread evenly over all 256 values, and no 8-byte word at
// the start of a sector occurs twice in the frame (it would in a run of sectors repeated
// a whole number of sectors later, which compresses though its bytes are even). Data
// already compressed or encrypted and random files mostly are; zstd would store each of
// their blocks as it is. A short last block is judged with the bytes before it, as too
// few samples look uneven; a frame shorter than a block is not taken for noise. `seen`
// is the caller's, kept between frames.
bool looksLikeNoise(const u8* bytes, std::size_t size, std::vector<u64>& seen) {
  if (size < BLOCK_BYTES) return false;
  for (std::size_t end = BLOCK_BYTES; end - BLOCK_BYTES < size; end += BLOCK_BYTES) {
    const std::size_t at = std::min(end, size) - BLOCK_BYTES;
    std::array<u32, 256> counts{};
    std::size_t samples = 0;
    for (std::size_t i = at; i < at + BLOCK_BYTES; i += SAMPLE_STEP, ++samples) ++counts[bytes[i]];
    double bits = 0;
    for (u32 c : counts) {
      if (c != 0) bits -= c * std::log2(static_cast<double>(c) / samples);
    }
    if (bits < NOISE_BITS * samples) return false;
  }
  // Open addressing over twice as many slots as words; 0 marks a free slot (a zero word
  // is not noise).
  const std::size_t words = size / WORD_STEP;
  std::size_t slots = 1;
  while (slots < 2 * words) slots <<= 1;
  seen.assign(slots, 0);
  for (std::size_t i = 0; i + 8 <= size; i += WORD_STEP) {
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
}

}  // namespace

bool ImageCompressor::available() {
#if VANTOR_HAVE_DECOMPRESSION
  return true;
#else
  return false;
#endif
}

ImageCompressor::ImageCompressor(int level, Output out)
    : level_(level), out_(std::move(out)), run_(std::make_unique<StoredRun>()) {
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
      const std::size_t size = frame->input.size();
      if (looksLikeNoise(in, size, seen)) {
        // Noise is stored as zstd would store it, without the time zstd takes to find so.
        frame->raw = true;
      } else {
        frame->raw = false;
        frame->checksum = static_cast<u32>(XXH64(in, size, 0));
        frame->output.resize(ZSTD_compressBound(size));
        // A frame states its size, as the reader checks against the seek table.
        (void)ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
        (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level_);
        // The level's own window is smaller at the fast levels; no frame refers to another,
        // so one that spans the frame costs no reader more memory than the frame itself.
        (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, compressed_image::FRAME_WINDOW_LOG);
        const std::size_t n = ZSTD_compress2(context.get(), frame->output.data(), frame->output.size(), in, size);
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
  waitForRoom(IN_FLIGHT);
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

// Returns once fewer than `frames` frames wait to be written; throws what stopped the
// writing.
void ImageCompressor::waitForRoom(std::size_t frames) {
  Lock guard(lock_);
  while (!outFailure_ && queue_.size() >= frames) lock_.wait(changed_);
  if (outFailure_) std::rethrow_exception(outFailure_);
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
    if (!failure) {
      try {
        if (frame->raw) {
          writeStored(frame->input);
        } else {
          endStored();
          out_(frame->output.data(), frame->outputSize);
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
        if (!frame->raw) {
          entries_.push_back(
              {static_cast<u32>(frame->outputSize), static_cast<u32>(frame->input.size()), frame->checksum});
        }
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

// Noise in a row goes into one stored frame, up to MOST_STORED_BYTES: its header when
// it starts, then the pieces' blocks from where they lie, none marked last; endStored()
// ends it with an empty last block and gives it its seek table entry. Only a frame's last
// piece can be short of whole blocks, so a stored frame's blocks are whole but its last.
struct ImageCompressor::StoredRun {
  bool open = false;
  u32 fileBytes = 0;
  u32 imageBytes = 0;
#if VANTOR_HAVE_DECOMPRESSION
  XXH64_state_t state;
#endif
};

void ImageCompressor::writeStored(const std::vector<u8>& piece) {
#if VANTOR_HAVE_DECOMPRESSION
  StoredRun& run = *run_;
  if (run.open && run.imageBytes + piece.size() > compressed_image::MOST_STORED_BYTES) endStored();
  u8 head[compressed_image::STORED_HEADER_SIZE];
  if (!run.open) {
    writeLE32(head, compressed_image::ZSTD_FRAME_MAGIC);
    head[4] = 0;  // no content size, no checksum, no dictionary, not a single segment
    head[5] = compressed_image::STORED_WINDOW;
    out_(head, sizeof head);
    run.open = true;
    run.fileBytes = sizeof head;
    run.imageBytes = 0;
    (void)XXH64_reset(&run.state, 0);
  }
  for (std::size_t at = 0; at < piece.size(); at += BLOCK_BYTES) {
    const std::size_t n = std::min(BLOCK_BYTES, piece.size() - at);
    writeLE32(head, static_cast<u32>(n << 3));  // block type 0: stored as it is; not the last
    out_(head, compressed_image::BLOCK_HEADER_SIZE);
    out_(piece.data() + at, n);
    run.fileBytes += static_cast<u32>(n + compressed_image::BLOCK_HEADER_SIZE);
  }
  run.imageBytes += static_cast<u32>(piece.size());
  (void)XXH64_update(&run.state, piece.data(), piece.size());
#else
  (void)piece;
#endif
}

void ImageCompressor::endStored() {
#if VANTOR_HAVE_DECOMPRESSION
  StoredRun& run = *run_;
  if (!run.open) return;
  const u8 last[compressed_image::BLOCK_HEADER_SIZE] = {1, 0, 0};  // an empty stored block, the last
  out_(last, sizeof last);
  run.open = false;
  Lock guard(lock_);
  entries_.push_back({run.fileBytes + compressed_image::BLOCK_HEADER_SIZE, run.imageBytes,
                      static_cast<u32>(XXH64_digest(&run.state))});
#endif
}

void ImageCompressor::finish() {
  if (!filling_.empty()) submit();
  waitForRoom(1);  // every frame written, and the writer waits for more
  endStored();     // the writer's, now that it waits
  std::vector<u8> table;
  {
    Lock guard(lock_);
    table = encodeSeekTable(entries_);
  }
  out_(table.data(), table.size());
}

}  // namespace vantor

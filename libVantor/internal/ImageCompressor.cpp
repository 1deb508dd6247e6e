#include <libVantor/internal/ImageCompressor.h>

#include <algorithm>

#include <libVantor/VantorException.h>
#include <vrk/MutexLock.h>

#if VANTOR_HAVE_DECOMPRESSION
#include <xxhash.h>
#include <zstd.h>
#endif

namespace vantor {

using Lock = vrk::MutexLock<vrk::Mutex>;

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
  for (std::size_t i = 0; i < THREADS; ++i) threads_.emplace_back([this] { work(); });
}

ImageCompressor::~ImageCompressor() {
  {
    Lock guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ImageCompressor::work() {
#if VANTOR_HAVE_DECOMPRESSION
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
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
      frame->output.resize(ZSTD_compressBound(frame->input.size()));
      // A frame states its size, as the reader checks against the seek table.
      (void)ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
      (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level_);
      // The level's own window is smaller at the fast levels; no frame refers to another,
      // so one that spans the frame costs no reader more memory than the frame itself.
      (void)ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, compressed_image::FRAME_WINDOW_LOG);
      const std::size_t n = ZSTD_compress2(context.get(), frame->output.data(), frame->output.size(),
                                           frame->input.data(), frame->input.size());
      if (ZSTD_isError(n)) {
        throw VantorException(ERR_GENERAL, vrk::String("zstd could not compress a frame: ") + ZSTD_getErrorName(n));
      }
      frame->outputSize = n;
      frame->checksum = static_cast<u32>(XXH64(frame->input.data(), frame->input.size(), 0));
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
  bool full;
  {
    Lock guard(lock_);
    full = queue_.size() >= IN_FLIGHT;
  }
  if (full) writeOldest();
  std::shared_ptr<Frame> frame;
  if (spare_.empty()) {
    frame = std::make_shared<Frame>();
  } else {
    frame = std::move(spare_.back());
    spare_.pop_back();
  }
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

// Waits for the oldest frame, then hands it to the output.
void ImageCompressor::writeOldest() {
  std::shared_ptr<Frame> frame;
  {
    Lock guard(lock_);
    while (!queue_.front()->done) lock_.wait(changed_);
    frame = queue_.front();
    queue_.pop_front();
  }
  if (frame->failure) std::rethrow_exception(frame->failure);
  out_(frame->output.data(), frame->outputSize);
  entries_.push_back({static_cast<u32>(frame->outputSize), static_cast<u32>(frame->input.size()), frame->checksum});
  frame->outputSize = 0;
  frame->done = false;
  spare_.push_back(std::move(frame));
}

void ImageCompressor::finish() {
  if (!filling_.empty()) submit();
  for (;;) {
    {
      Lock guard(lock_);
      if (queue_.empty()) break;
    }
    writeOldest();
  }
  const std::vector<u8> table = encodeSeekTable(entries_);
  out_(table.data(), table.size());
}

}  // namespace vantor

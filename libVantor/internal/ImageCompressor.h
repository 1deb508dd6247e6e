// libVantor/internal/ImageCompressor.h
// Turns the image's bytes, appended in order, into a compressed image file
// (CompressedImageFormat.h): each piece of FRAME_BYTES of them becomes one independent
// zstd frame, compressed on THREADS threads of its own while the caller appends the next,
// but a piece's noise goes into stored frames, and allocation tables are compressed
// harder than the level asks, apart from the noise around them. A writer
// thread of its own hands the frames to `out` in order, so that the caller's thread
// never waits for the file unless IN_FLIGHT frames are being compressed or not yet
// written (or MOST_QUEUED, counting those found to be noise). finish() compresses the
// last frame, waits for every frame to be written and writes the seek table. Memory: the
// frame being filled and IN_FLIGHT frames with their compressed copies (about 28 MiB),
// and up to 20 MiB of noise waiting behind them (noise goes out from its own bytes,
// without a copy). `out` is called from one thread at a time; what it throws comes out of
// append() or finish(), as does ERR_GENERAL for a frame that does not compress. The
// destructor stops the threads, whatever was written. Use from one thread; construction
// throws ERR_INVALID_ARGUMENT for a build without the compressor.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <libVantor/Types.h>
#include <libVantor/internal/CompressedImageFormat.h>
#include <vrk/Mutex.h>
#include <vrk/ThreadSafety.h>

namespace vantor {

class ImageCompressor {
 public:
  static constexpr std::size_t THREADS = 2;
  static constexpr std::size_t IN_FLIGHT = THREADS + 1;  // being compressed or written
  static constexpr std::size_t MOST_QUEUED = 8;         // with those found to be noise
  using Output = std::function<void(const u8* bytes, std::size_t size)>;

  ImageCompressor(int level, Output out);
  ~ImageCompressor();
  ImageCompressor(const ImageCompressor&) = delete;
  ImageCompressor& operator=(const ImageCompressor&) = delete;

  void append(const void* bytes, std::size_t size);
  void finish();
  // The image's bytes appended so far.
  u64 imageBytes() const { return appended_; }

  // True when this build can write compressed images.
  static bool available();

 private:
  struct Frame {
    std::vector<u8> input;   // both kept, with their capacity, when the frame is reused
    std::vector<u8> output;
    std::size_t outputSize = 0;
    // [from, to) of `input` is compressed into `output`; what lies before and after goes
    // out from `input` as stored blocks.
    std::size_t from = 0, to = 0;
    u32 checksum = 0;  // of the compressed part
    u32 headChecksum = 0, tailChecksum = 0;  // of the stored parts
    bool done = false;
    std::exception_ptr failure;
  };
  void stop();
  void submit();
  void waitForRoom(bool all);
  void work();
  void writeFrames();
  SeekTableEntry writeStored(const u8* piece, std::size_t size, u32 checksum);

  int level_;
  Output out_;
  std::vector<u8> filling_;
  u64 appended_ = 0;

  vrk::Mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Frame>> queue_ VRK_GUARDED_BY(lock_);    // in order, until written
  std::deque<std::shared_ptr<Frame>> pending_ VRK_GUARDED_BY(lock_);  // not yet taken by a thread
  std::vector<std::shared_ptr<Frame>> spare_ VRK_GUARDED_BY(lock_);  // written: the next ones take their buffers
  std::vector<SeekTableEntry> entries_ VRK_GUARDED_BY(lock_);
  std::exception_ptr outFailure_ VRK_GUARDED_BY(lock_);  // what `out` or a frame threw; nothing is written after
  bool stopping_ VRK_GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_;
  std::thread writer_;
};

}  // namespace vantor

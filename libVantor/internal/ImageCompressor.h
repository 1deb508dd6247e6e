// libVantor/internal/ImageCompressor.h
// Turns the image's bytes, appended in order, into a compressed image file
// (CompressedImageFormat.h): each FRAME_BYTES of them become one independent zstd frame,
// compressed on THREADS threads of its own while the caller appends the next, and the
// frames go to `out` in order on the caller's thread, at most IN_FLIGHT frames behind;
// finish() compresses the last frame and writes the seek table. Memory: the frame being
// filled and IN_FLIGHT frames with their compressed copies (about 28 MiB). What `out`
// throws comes out of append() or finish(); a frame that does not compress throws
// ERR_GENERAL. The destructor stops the threads, whatever was written. Use from one
// thread; construction throws ERR_INVALID_ARGUMENT for a build without the compressor.
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
  static constexpr std::size_t IN_FLIGHT = THREADS + 1;  // one finished frame waits for its turn
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
    u32 checksum = 0;
    bool done = false;
    std::exception_ptr failure;
  };
  void submit();
  void writeOldest();
  void work();

  int level_;
  Output out_;
  std::vector<u8> filling_;
  u64 appended_ = 0;
  std::vector<SeekTableEntry> entries_;
  std::vector<std::shared_ptr<Frame>> spare_;  // written frames, whose buffers the next ones take

  vrk::Mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Frame>> queue_ VRK_GUARDED_BY(lock_);    // in order, for writing
  std::deque<std::shared_ptr<Frame>> pending_ VRK_GUARDED_BY(lock_);  // not yet taken by a thread
  bool stopping_ VRK_GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace vantor

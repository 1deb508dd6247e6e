// libVantor/internal/CompressedGroup.h
// The readers of one compressed disk image (CompressedSource) and the stream they share;
// for a compressed image of Vantor's own, the one opening of it (ImageBytes) whose frames
// they share instead, each reading it where it is.
// The reader that needs bytes nobody has decompressed yet decompresses the next block of
// 1 MiB (outside the lock: the others go on copying what is kept); a block is let go
// once every reader in the group has gone past it; a reader that would take the kept
// bytes past WINDOW_BYTES waits for the slowest. A failure of the stream is kept and
// thrown to each reader that reaches the place where it happened.
#pragma once
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/CompressedSource.h>
#include <libVantor/internal/CompressedStream.h>
#include <libVantor/internal/ImageBytes.h>
#include <vrk/Mutex.h>
#include <vrk/ThreadSafety.h>

namespace vantor {

struct CompressedSource::Group {
  static constexpr std::size_t BLOCK_BYTES = 1u << 20;
  static constexpr std::size_t WINDOW_BYTES = 32u << 20;

  Group(const vrk::String& path, std::size_t readers);

  // The next `count` sectors of `sectorSize` bytes for `reader` into `into`: answers how
  // many, fewer only at the stream's end, whose last partial sector is padded with
  // zeros. Throws what the stream threw where it failed, and ERR_INVALID_ARGUMENT for a
  // reader that has left.
  // While it waits for the other readers, `whileWaiting` is called every 100 ms or so:
  // what it throws ends the read (an abort of the reader's operation).
  u32 readSectors(std::size_t reader, u8* into, u32 count, u32 sectorSize,
                  const std::function<void()>& whileWaiting) VRK_EXCLUDES(mutex);
  // An operation takes `reader` for itself; throws ERR_INVALID_ARGUMENT for a reader
  // another operation took already.
  void take(std::size_t reader) VRK_EXCLUDES(mutex);
  // The reader takes no more part: the others no longer wait for it.
  void leave(std::size_t reader) VRK_EXCLUDES(mutex);
  // The bytes `reader` has taken from the stream, also once it has left.
  u64 taken(std::size_t reader) const VRK_EXCLUDES(mutex);
  // As CompressedStream's, of the shared stream.
  boost::optional<u64> size() const { return size_; }
  u64 leastSize() const { return leastSize_; }
  u64 fileSize() const { return fileSize_; }
  u64 consumed() const VRK_EXCLUDES(mutex);
  const vrk::String& path() const { return path_; }
  // The opened image when the file is a compressed image of Vantor's own, else null.
  const std::shared_ptr<const ImageBytes>& image() const { return image_; }

 private:
  struct Block {
    u64 offset;
    std::vector<u8> bytes;
  };
  std::size_t read(std::size_t reader, u8* into, std::size_t n, const std::function<void()>& whileWaiting)
      VRK_EXCLUDES(mutex);
  u64 slowest() const VRK_REQUIRES(mutex);  // the least position of the readers in the group
  void dropPassed() VRK_REQUIRES(mutex);
  u64 keptEnd() const VRK_REQUIRES(mutex) { return base_ + kept_; }

  const vrk::String path_;
  const std::shared_ptr<const ImageBytes> image_;
  CompressedStream stream_;  // decoded by one reader at a time, the one that set decoding_
  const boost::optional<u64> size_;
  const u64 leastSize_;
  const u64 fileSize_;
  mutable vrk::Mutex mutex;
  std::condition_variable changed_;
  std::deque<Block> blocks_ VRK_GUARDED_BY(mutex);
  u64 base_ VRK_GUARDED_BY(mutex) = 0;  // the stream offset of the first kept byte
  u64 kept_ VRK_GUARDED_BY(mutex) = 0;
  std::vector<boost::optional<u64>> positions_ VRK_GUARDED_BY(mutex);  // none once a reader left
  std::vector<u64> left_ VRK_GUARDED_BY(mutex);  // where each reader was when it left
  std::vector<bool> taken_ VRK_GUARDED_BY(mutex);
  bool decoding_ VRK_GUARDED_BY(mutex) = false;
  bool ended_ VRK_GUARDED_BY(mutex) = false;
  std::exception_ptr failure_ VRK_GUARDED_BY(mutex);  // met at keptEnd() once set
  u64 consumed_ VRK_GUARDED_BY(mutex) = 0;
};

}  // namespace vantor

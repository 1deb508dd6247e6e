// libVantor/internal/ChunkRing.h
// The chunks of a capture or a restore on their way between the drive and the image
// file, so that the drive's transfers overlap the file's.
//
// ChunkRing: a few page-aligned chunk buffers (slots) and the stages each chunk goes
// through, in order: stage 0, 1, ... Every chunk has a sequence number (0, 1, 2...) and
// lives in slot (sequence % slots); each stage takes the chunks in sequence order, and
// stage 0 takes a slot again only once the last stage has let it go. Whoever runs a stage
// owns the slot from next() until pass(); the hand-over goes through the ring's lock, so
// what one stage wrote into the slot is what the next one sees.
//   capture: stage 0 (drive thread) reads the chunk, stage 1 (worker) writes it out;
//   restore: stage 0 (worker) copies the chunk from the image, stage 1 (drive thread)
//            writes it (and reads it back), stage 2 (worker) reports it done.
// A stage that stops, at the end or early (a failure, an abort), calls end(): the stages
// after it still get what it passed before, then none; the stages before it get none at
// once. cancel() gives every stage none from then on. A stage that finds nothing to take
// sleeps until half the ring is there for it, or nothing more will come, so that the
// threads wake once for a few chunks rather than for each.
#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/Types.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <vrk/Mutex.h>
#include <vrk/ThreadSafety.h>

namespace vantor {

class ChunkRing {
 public:
  struct Slot {
    explicit Slot(std::size_t bytes) : data(bytes) {}
    DiskBufferPointer data;
    u32 lba = 0;
    u32 count = 0;
    // What ends the operation at this chunk, set by the stage that could not do its part.
    std::exception_ptr failure;
    bool removesFile = false;  // capture: the failure removes the partial image
  };

  ChunkRing(std::size_t stages, std::size_t slots, std::size_t slotBytes);
  ChunkRing(const ChunkRing&) = delete;
  ChunkRing& operator=(const ChunkRing&) = delete;

  // Waits until `stage` may take its next chunk and answers its sequence number; none
  // when the stage gets no more chunks.
  boost::optional<u64> next(std::size_t stage) VRK_EXCLUDES(mutex_);
  // Waits until `first` or `second` may take its next chunk; answers that stage (`first`
  // when both may) and the sequence number; none when neither gets any more chunks.
  boost::optional<std::pair<std::size_t, u64>> next(std::size_t first, std::size_t second) VRK_EXCLUDES(mutex_);
  // `stage` is done with its chunk: it goes on to the next stage.
  void pass(std::size_t stage) VRK_EXCLUDES(mutex_);
  void end(std::size_t stage) VRK_EXCLUDES(mutex_);
  void cancel() VRK_EXCLUDES(mutex_);

  Slot& slot(u64 sequence) { return slots_[static_cast<std::size_t>(sequence % slots_.size())]; }

 private:
  std::size_t available(std::size_t stage) const VRK_REQUIRES(mutex_);  // chunks (stage 0: free slots) there for it
  bool mayTake(std::size_t stage) const VRK_REQUIRES(mutex_);
  bool isOver(std::size_t stage) const VRK_REQUIRES(mutex_);
  bool wakes(std::size_t stage) const VRK_REQUIRES(mutex_);  // whether a waiting stage is to be woken

  const std::size_t wakeBatch_;
  vrk::Mutex mutex_;
  std::condition_variable changed_;  // waited on through mutex_.wait()
  std::vector<Slot> slots_;  // the vector is fixed at construction; a slot belongs to the stage that took it
  std::vector<u64> passed_ VRK_GUARDED_BY(mutex_);   // chunks each stage has passed on
  std::vector<int> waiting_ VRK_GUARDED_BY(mutex_);  // threads waiting for each stage
  std::vector<bool> ended_ VRK_GUARDED_BY(mutex_);
  bool cancelled_ VRK_GUARDED_BY(mutex_) = false;
};

// Calls f(lba, count) for each chunk of up to `chunkSectors` sectors of the run of
// `numSectors` sectors from `firstSector`, in order (a run reaching sector FFFFFFFFh
// ends there).
template <class F>
void forEachChunk(u32 firstSector, u32 numSectors, u32 chunkSectors, F&& f) {
  for (u32 offset = 0; offset < numSectors; offset += chunkSectors) {
    f(firstSector + offset, std::min<u32>(chunkSectors, numSectors - offset));
    if (offset > 0xFFFFFFFFu - chunkSectors) break;  // the last chunk of a run ending at 2^32 - 1
  }
}

}  // namespace vantor

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
// The slots lie one after the other in one page-aligned block, so that a stage holding
// neighbouring slots (slot i + 1 follows slot i unless i is the last) can move their
// chunks in one transfer.
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
  // A slot's part of the ring's block.
  class SlotBytes {
   public:
    explicit SlotBytes(u8* bytes) : bytes_(bytes) {}
    u8* get() const { return bytes_; }

   private:
    u8* bytes_;
  };
  struct Slot {
    explicit Slot(u8* bytes) : data(bytes) {}
    SlotBytes data;
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
  // The same, but waits until `atLeast` chunks are there for the stage (no more than half
  // the ring is waited for), or the stage before it has ended: for a stage that moves
  // several chunks at once.
  boost::optional<u64> nextBatch(std::size_t stage, std::size_t atLeast) VRK_EXCLUDES(mutex_);
  // Waits until `first` or `second` may take its next chunk; answers that stage (`first`
  // when both may) and the sequence number; none when neither gets any more chunks.
  boost::optional<std::pair<std::size_t, u64>> next(std::size_t first, std::size_t second) VRK_EXCLUDES(mutex_);
  // `stage` is done with its chunk: it goes on to the next stage.
  void pass(std::size_t stage) VRK_EXCLUDES(mutex_);
  // The chunks there for `stage` now, from the one next() answered on: the stage owns
  // them all until it passes them. 0 when the stage gets no more.
  std::size_t ready(std::size_t stage) VRK_EXCLUDES(mutex_);
  void end(std::size_t stage) VRK_EXCLUDES(mutex_);
  void cancel() VRK_EXCLUDES(mutex_);

  Slot& slot(u64 sequence) { return slots_[static_cast<std::size_t>(sequence % slots_.size())]; }
  std::size_t slotCount() const { return slots_.size(); }
  // Whether the chunk after `sequence` lies right after it in memory.
  bool followsInMemory(u64 sequence) const { return (sequence + 1) % slots_.size() != 0; }

 private:
  std::size_t available(std::size_t stage) const VRK_REQUIRES(mutex_);  // chunks (stage 0: free slots) there for it
  bool mayTake(std::size_t stage) const VRK_REQUIRES(mutex_);
  bool isOver(std::size_t stage) const VRK_REQUIRES(mutex_);
  bool wakes(std::size_t stage) const VRK_REQUIRES(mutex_);
  bool hasEnough(std::size_t stage, std::size_t wanted) const VRK_REQUIRES(mutex_);  // see nextBatch  // whether a waiting stage is to be woken

  const std::size_t wakeBatch_;
  vrk::Mutex mutex_;
  std::condition_variable changed_;  // waited on through mutex_.wait()
  DiskBufferPointer block_;  // every slot's bytes
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

// The most a drive thread moves in one request when the ring lets it take several
// chunks at once (streaming): larger requests than a chunk are what a slow drive, a USB
// key above all, needs to reach its own speed. The system hands a drive a large request
// in pieces of what the drive takes at most (512 KiB for a USB key, as a rule), all
// queued at once, so that the drive never waits between them as it would between
// requests of that size sent one after the other.
constexpr std::size_t DRIVE_REQUEST_BYTES = 4u << 20;

// Of the `ready` chunks a stage holds from `first` on, how many go to the drive in one
// request: each after the one before in memory and on the drive (starting where it
// ended, and filling its slot of `chunkSectors`), and DRIVE_REQUEST_BYTES of them at most
// (always at least the first).
inline std::size_t chunksOfOneRequest(ChunkRing& ring, u64 first, std::size_t ready, u32 chunkSectors,
                                      u32 sectorSize) {
  const std::size_t chunkBytes = std::size_t(chunkSectors) * sectorSize;
  const std::size_t most = std::max<std::size_t>(1, std::min(ready, DRIVE_REQUEST_BYTES / chunkBytes));
  std::size_t n = 1;
  while (n < most && ring.followsInMemory(first + n - 1)) {
    const ChunkRing::Slot& before = ring.slot(first + n - 1);
    if (before.count != chunkSectors || u64(before.lba) + before.count != ring.slot(first + n).lba) break;
    ++n;
  }
  return n;
}

}  // namespace vantor

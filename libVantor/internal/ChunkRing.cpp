// The ring of chunk buffers of a capture or a restore.
#include <libVantor/internal/ChunkRing.h>

#include <algorithm>

#include <vrk/MutexLock.h>

namespace vantor {

ChunkRing::ChunkRing(std::size_t stages, std::size_t slots, std::size_t slotBytes)
    : wakeBatch_(std::max<std::size_t>(1, slots / 2)),
      block_(slots * slotBytes),
      passed_(stages, 0),
      waiting_(stages, 0),
      ended_(stages, false) {
  slots_.reserve(slots);
  for (std::size_t i = 0; i < slots; ++i) slots_.emplace_back(block_.get() + i * slotBytes);
}

bool ChunkRing::isOver(std::size_t stage) const {
  if (cancelled_ || ended_[stage]) return true;
  for (std::size_t later = stage + 1; later < ended_.size(); ++later) {
    if (ended_[later]) return true;  // nobody takes what this stage would pass on
  }
  return stage > 0 && ended_[stage - 1] && passed_[stage] == passed_[stage - 1];
}

std::size_t ChunkRing::available(std::size_t stage) const {
  if (stage == 0) return slots_.size() - static_cast<std::size_t>(passed_[0] - passed_.back());  // slots let go
  return static_cast<std::size_t>(passed_[stage - 1] - passed_[stage]);
}

bool ChunkRing::mayTake(std::size_t stage) const { return !isOver(stage) && available(stage) > 0; }

bool ChunkRing::hasEnough(std::size_t stage, std::size_t wanted) const {
  return isOver(stage) || available(stage) >= wanted || (stage > 0 && ended_[stage - 1]);
}

bool ChunkRing::wakes(std::size_t stage) const {
  // A stage that had to wait sleeps until half the ring is there for it (or nothing more
  // will come), rather than waking for every chunk.
  if (isOver(stage)) return true;
  const std::size_t n = available(stage);
  return n >= wakeBatch_ || (n > 0 && stage > 0 && ended_[stage - 1]);
}

boost::optional<u64> ChunkRing::next(std::size_t stage) {
  vrk::MutexLock guard(mutex_);
  if (!mayTake(stage)) {
    ++waiting_[stage];
    while (!wakes(stage)) mutex_.wait(changed_);
    --waiting_[stage];
  }
  if (!mayTake(stage)) return boost::none;
  return passed_[stage];
}

boost::optional<u64> ChunkRing::nextBatch(std::size_t stage, std::size_t atLeast) {
  vrk::MutexLock guard(mutex_);
  // Whatever wakes the stage (see wakes()) is also enough for it.
  const std::size_t wanted = std::max<std::size_t>(1, std::min(atLeast, wakeBatch_));
  if (!hasEnough(stage, wanted)) {
    ++waiting_[stage];
    while (!hasEnough(stage, wanted)) mutex_.wait(changed_);
    --waiting_[stage];
  }
  if (!mayTake(stage)) return boost::none;
  return passed_[stage];
}

boost::optional<std::pair<std::size_t, u64>> ChunkRing::next(std::size_t first, std::size_t second) {
  vrk::MutexLock guard(mutex_);
  if (!mayTake(first) && !mayTake(second)) {
    ++waiting_[first];
    ++waiting_[second];
    while (!((wakes(first) && !isOver(first)) || (wakes(second) && !isOver(second)) ||
             (isOver(first) && isOver(second)))) {
      mutex_.wait(changed_);
    }
    --waiting_[first];
    --waiting_[second];
  }
  if (mayTake(first)) return std::make_pair(first, passed_[first]);
  if (mayTake(second)) return std::make_pair(second, passed_[second]);
  return boost::none;
}

void ChunkRing::pass(std::size_t stage) {
  bool wake = false;
  {
    vrk::MutexLock guard(mutex_);
    ++passed_[stage];
    // Only the stage after this one (or, from the last, the first) can have more to take.
    const std::size_t fed = stage + 1 < passed_.size() ? stage + 1 : 0;
    wake = waiting_[fed] > 0 && wakes(fed);
  }
  if (wake) changed_.notify_all();
}

std::size_t ChunkRing::ready(std::size_t stage) {
  vrk::MutexLock guard(mutex_);
  return isOver(stage) ? 0 : available(stage);
}

void ChunkRing::end(std::size_t stage) {
  {
    vrk::MutexLock guard(mutex_);
    ended_[stage] = true;
  }
  changed_.notify_all();
}

void ChunkRing::cancel() {
  {
    vrk::MutexLock guard(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

}  // namespace vantor

#include <libVantor/internal/CompressedGroup.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include <libVantor/VantorException.h>
#include <vrk/MutexLock.h>

namespace vantor {

std::vector<std::shared_ptr<CompressedSource>> CompressedSource::readersOf(const vrk::String& path, std::size_t readers) {
  auto group = std::make_shared<Group>(path, readers);
  std::vector<std::shared_ptr<CompressedSource>> out;
  for (std::size_t i = 0; i < readers; ++i) out.emplace_back(new CompressedSource(group, i));
  return out;
}

CompressedSource::CompressedSource(std::shared_ptr<Group> group, std::size_t index)
    : group_(std::move(group)), index_(index) {}

CompressedSource::~CompressedSource() { group_->leave(index_); }

const vrk::String& CompressedSource::path() const { return group_->path(); }

u64 CompressedSource::bytesTaken() const { return group_->taken(index_); }

CompressedSource::Group::Group(const vrk::String& path, std::size_t readers)
    : path_(path),
      image_(ImageBytes::holdsCompressedImage(path) ? std::make_shared<const ImageBytes>(path) : nullptr),
      stream_(path),
      size_(stream_.size()),
      leastSize_(stream_.leastSize()),
      fileSize_(stream_.fileSize()),
      positions_(readers, u64(0)),
      left_(readers, 0),
      taken_(readers, false) {}

u64 CompressedSource::Group::slowest() const {
  u64 least = keptEnd();
  for (const boost::optional<u64>& position : positions_) {
    if (position) least = std::min(least, *position);
  }
  return least;
}

void CompressedSource::Group::dropPassed() {
  const u64 passed = slowest();
  while (!blocks_.empty() && blocks_.front().offset + blocks_.front().bytes.size() <= passed) {
    base_ += blocks_.front().bytes.size();
    kept_ -= blocks_.front().bytes.size();
    blocks_.pop_front();
  }
}

std::size_t CompressedSource::Group::read(std::size_t reader, u8* into, std::size_t n,
                                          const std::function<void()>& whileWaiting) {
  std::size_t got = 0;
  while (got < n) {
    {
      vrk::MutexLock guard(mutex);
      if (!positions_[reader]) {
        throw VantorException(ERR_INVALID_ARGUMENT, "This reader of the compressed image has left its group");
      }
      u64& position = *positions_[reader];
      if (position < keptEnd()) {  // what is kept, as far as it goes
        for (const Block& block : blocks_) {
          const u64 end = block.offset + block.bytes.size();
          if (end <= position) continue;
          const std::size_t from = static_cast<std::size_t>(position - block.offset);
          const std::size_t take = std::min(n - got, block.bytes.size() - from);
          std::memcpy(into + got, block.bytes.data() + from, take);
          got += take;
          position += take;
          if (got == n) break;
        }
        dropPassed();
        changed_.notify_all();
        continue;
      }
      if (failure_) std::rethrow_exception(failure_);
      if (ended_) break;
      if (decoding_ || kept_ >= WINDOW_BYTES) {  // another reader decodes, or the slowest is too far behind
        if (whileWaiting) whileWaiting();
        mutex.waitFor(changed_, std::chrono::milliseconds(100));
        continue;
      }
      decoding_ = true;
    }
    // This reader decodes the next block; the others go on with what is kept.
    Block block{0, std::vector<u8>(BLOCK_BYTES)};
    std::size_t filled = 0;
    std::exception_ptr failed;
    try {
      filled = stream_.read(block.bytes.data(), BLOCK_BYTES);
    } catch (...) {
      failed = std::current_exception();
    }
    const u64 consumed = stream_.consumed();
    vrk::MutexLock guard(mutex);
    decoding_ = false;
    consumed_ = consumed;
    block.offset = keptEnd();
    block.bytes.resize(filled);
    if (filled > 0) {
      kept_ += filled;
      blocks_.push_back(std::move(block));
    }
    if (failed) {
      failure_ = failed;
    } else if (filled < BLOCK_BYTES) {
      ended_ = true;
    }
    changed_.notify_all();
  }
  return got;
}

u32 CompressedSource::Group::readSectors(std::size_t reader, u8* into, u32 count, u32 sectorSize,
                                         const std::function<void()>& whileWaiting) {
  const std::size_t got = read(reader, into, std::size_t(count) * sectorSize, whileWaiting);
  const std::size_t padded = (got + sectorSize - 1) / sectorSize * sectorSize;
  std::memset(into + got, 0, padded - got);  // a last partial sector
  return static_cast<u32>(padded / sectorSize);
}

void CompressedSource::Group::take(std::size_t reader) {
  vrk::MutexLock guard(mutex);
  if (taken_[reader]) {
    throw VantorException(ERR_INVALID_ARGUMENT, "This reader of the compressed image serves another operation already");
  }
  taken_[reader] = true;
}

void CompressedSource::Group::leave(std::size_t reader) {
  vrk::MutexLock guard(mutex);
  if (positions_[reader]) left_[reader] = *positions_[reader];
  positions_[reader] = boost::none;
  dropPassed();
  changed_.notify_all();
}

u64 CompressedSource::Group::taken(std::size_t reader) const {
  vrk::MutexLock guard(mutex);
  return positions_[reader].value_or(left_[reader]);
}

u64 CompressedSource::Group::consumed() const {
  vrk::MutexLock guard(mutex);
  return consumed_;
}

}  // namespace vantor

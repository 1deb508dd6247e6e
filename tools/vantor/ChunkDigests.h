// tools/vantor/ChunkDigests.h
// The digests of the chunks an operation moved through a drive, so that an image's
// checksums can be made or checked without reading the image once more: installed as
// the drive's data filter (IDisk::setDataFilter takes it over; a filter the drive had
// goes on working inside it), it digests (XXH3, 64 bits) every transfer of up to one
// chunk on one side, the reads (a capture: the data as it left the drive) or the writes
// (a restore: the data as it went to the drive), and keeps the digest of the latest
// transfer of each (first sector, sector count). A capture reads each chunk once, after
// everything its map read, and a restore writes each chunk once, so a chunk's digest is
// that of the data the image holds at that place. Copies of the drive get copies of the
// filter that keep into the same table; a filter it wraps must share its state among its
// own copies in the same way (as WriteWitness does). The table takes transfers from any
// thread; find() is for once the operation has ended. It keeps 16 bytes a transfer.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <xxhash.h>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class ChunkDigests {
 public:
  enum class Side { Reads, Writes };

  // Installs the digesting filter on `disk`, around the filter it had; the table it
  // fills is the one returned.
  static std::shared_ptr<ChunkDigests> install(IDisk& disk, Side side, std::uint32_t chunkSectors) {
    auto table = std::make_shared<ChunkDigests>();
    const IDiskDataFilter* had = disk.getDataFilter();
    disk.setDataFilter(new Filter(table, side, disk.getSectorSize(), chunkSectors,
                                  std::unique_ptr<IDiskDataFilter>(had ? had->clone() : nullptr)));
    return table;
  }

  // The digest of the latest transfer of `count` sectors from `first`, if there was one.
  bool find(std::uint32_t first, std::uint32_t count, std::uint64_t& digest) const {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!sorted_) {  // by place, and in the order made among the transfers of one place
      const auto byPlace = [](const Moved& a, const Moved& b) { return a.place < b.place; };
      if (!std::is_sorted(moved_.begin(), moved_.end(), byPlace)) {  // a restore's writes come in order
        std::stable_sort(moved_.begin(), moved_.end(), byPlace);
      }
      sorted_ = true;
    }
    const std::uint64_t place = placeOf(first, count);
    auto it = std::upper_bound(moved_.begin(), moved_.end(), place,
                               [](std::uint64_t p, const Moved& moved) { return p < moved.place; });
    if (it == moved_.begin() || (--it)->place != place) return false;
    digest = it->digest;
    return true;
  }

 private:
  struct Moved {
    std::uint64_t place;  // (first sector, count)
    std::uint64_t digest;
  };
  static std::uint64_t placeOf(std::uint32_t first, std::uint32_t count) { return std::uint64_t(first) << 32 | count; }
  void keep(std::uint32_t first, std::uint32_t count, std::uint64_t digest) {
    const std::lock_guard<std::mutex> guard(mutex_);
    moved_.push_back({placeOf(first, count), digest});
    sorted_ = false;
  }

  class Filter : public IDiskDataFilter {
   public:
    Filter(std::shared_ptr<ChunkDigests> table, Side side, std::uint32_t sectorSize, std::uint32_t chunkSectors,
           std::unique_ptr<IDiskDataFilter> inner)
        : table_(std::move(table)),
          side_(side),
          sectorSize_(sectorSize),
          chunkSectors_(chunkSectors),
          inner_(std::move(inner)) {}
    IDiskDataFilter* clone() const override {
      return new Filter(table_, side_, sectorSize_, chunkSectors_,
                        std::unique_ptr<IDiskDataFilter>(inner_ ? inner_->clone() : nullptr));
    }
    bool filterReadData(u32 first, void* buffer, u32 count) const override {
      if (inner_ && !inner_->filterReadData(first, buffer, count)) return false;
      if (side_ == Side::Reads) note(first, buffer, count);
      return true;
    }
    bool filterWriteData(u32 first, const void* buffer, u32 count) override {
      if (inner_ && !inner_->filterWriteData(first, buffer, count)) return false;
      if (side_ == Side::Writes) note(first, buffer, count);
      return true;
    }

   private:
    void note(u32 first, const void* buffer, u32 count) const {
      if (count > 0 && count <= chunkSectors_) {
        table_->keep(first, count, XXH3_64bits(buffer, std::size_t(count) * sectorSize_));
      }
    }
    std::shared_ptr<ChunkDigests> table_;
    Side side_;
    std::uint32_t sectorSize_;
    std::uint32_t chunkSectors_;
    std::unique_ptr<IDiskDataFilter> inner_;
  };

  mutable std::mutex mutex_;
  // In the order made until the first find(), then sorted.
  mutable std::vector<Moved> moved_;
  mutable bool sorted_ = false;
};

}  // namespace vantor::cli

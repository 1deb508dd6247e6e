// tools/vantor/ReadDigests.h
// The digests of what a capture read from its drive, so that the image's checksum file
// can be written without reading the image back: installed as the drive's data filter
// (IDisk::setDataFilter takes it over), it digests (XXH3, 64 bits) every read of up to
// one chunk as it leaves the drive, and keeps the digest of the latest read of each
// (first sector, sector count). The capture reads each chunk once, after everything
// the map read, so a chunk's digest is that of the data the image holds; a checksum
// thus also covers the way from the drive into the file. Copies of the drive get copies
// of the filter that keep into the same table. It lets every read and write pass.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <xxhash.h>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class ReadDigests {
 public:
  // Installs the digesting filter on `disk` (replacing any filter it had); the table it
  // fills is the one returned.
  static std::shared_ptr<ReadDigests> install(IDisk& disk, std::uint32_t chunkSectors) {
    auto table = std::make_shared<ReadDigests>();
    disk.setDataFilter(new Filter(table, disk.getSectorSize(), chunkSectors));
    return table;
  }

  // The digest of the latest read of `count` sectors from `first`, if there was one.
  bool find(std::uint32_t first, std::uint32_t count, std::uint64_t& digest) const {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!sorted_) {  // by place, and in the order read among the reads of one place
      std::stable_sort(reads_.begin(), reads_.end(), [](const Read& a, const Read& b) { return a.place < b.place; });
      sorted_ = true;
    }
    const std::uint64_t place = placeOf(first, count);
    auto it = std::upper_bound(reads_.begin(), reads_.end(), place,
                               [](std::uint64_t p, const Read& read) { return p < read.place; });
    if (it == reads_.begin() || (--it)->place != place) return false;
    digest = it->digest;
    return true;
  }

 private:
  struct Read {
    std::uint64_t place;  // (first sector, count)
    std::uint64_t digest;
  };
  static std::uint64_t placeOf(std::uint32_t first, std::uint32_t count) { return std::uint64_t(first) << 32 | count; }
  void keep(std::uint32_t first, std::uint32_t count, std::uint64_t digest) {
    const std::lock_guard<std::mutex> guard(mutex_);
    reads_.push_back({placeOf(first, count), digest});
    sorted_ = false;
  }

  class Filter : public IDiskDataFilter {
   public:
    Filter(std::shared_ptr<ReadDigests> table, std::uint32_t sectorSize, std::uint32_t chunkSectors)
        : table_(std::move(table)), sectorSize_(sectorSize), chunkSectors_(chunkSectors) {}
    IDiskDataFilter* clone() const override { return new Filter(table_, sectorSize_, chunkSectors_); }
    bool filterReadData(u32 first, void* buffer, u32 count) const override {
      if (count > 0 && count <= chunkSectors_) {
        table_->keep(first, count, XXH3_64bits(buffer, std::size_t(count) * sectorSize_));
      }
      return true;
    }

   private:
    std::shared_ptr<ReadDigests> table_;
    std::uint32_t sectorSize_;
    std::uint32_t chunkSectors_;
  };

  mutable std::mutex mutex_;
  // In the order read until the first find(), then sorted: 16 bytes a chunk.
  mutable std::vector<Read> reads_;
  mutable bool sorted_ = false;
};

}  // namespace vantor::cli

// libVantor/internal/CompressedReader.h
// The reader of a compressed image one restore or verify reads through: the one it was
// given (a CompressedSource shared with other imagers), or one of a group of its own.
// It leaves its group when the operation ends, however it ends and whoever else still
// holds it, so that the other readers no longer wait for it.
// It also knows how far the operation reads: the size the image states, in whole
// sectors of the drive, or, when it states none, the whole drive, the stream then ending
// the operation where it ends and progress following the compressed file.
#pragma once
#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

#include <libVantor/IDisk.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/FullSectorCount.h>

namespace vantor {

class CompressedReader {
 public:
  // An abort of `engine`'s operation ends a wait for the other readers.
  // `statedBytes` is the decompressed size the image states, 0 for none.
  CompressedReader(std::shared_ptr<CompressedSource> given, const vrk::String& path, const DiskImagerImp& engine,
                   u64 statedBytes, IDisk& disk)
      : reader_(given ? std::move(given) : CompressedSource::readersOf(path, 1).front()),
        engine_(engine),
        sectorSize_(disk.getSectorSize()),
        driveSectors_(fullSectorCount(disk)),
        stated_(statedBytes != 0),
        sectors_(std::min<u64>(stated_ ? (statedBytes + sectorSize_ - 1) / sectorSize_ : driveSectors_, 0xFFFFFFFFu)) {}
  ~CompressedReader() { group().leave(reader_->index()); }
  CompressedReader(const CompressedReader&) = delete;
  CompressedReader& operator=(const CompressedReader&) = delete;

  // The sectors the operation covers from sector 0.
  u32 sectors() const { return static_cast<u32>(sectors_); }
  // Reads up to `count` sectors, the last one padded with zeros; fewer at the stream's end.
  u32 readSectors(u8* into, u32 count) {
    return group().readSectors(reader_->index(), into, count, sectorSize_, [this] { engine_.throwIfAbortRequested(); });
  }
  // The percentage done, from the compressed bytes read, when the image states no size;
  // no function when it does (progress then follows the sectors).
  std::function<unsigned char(u64)> progress() const {
    if (stated_) return nullptr;
    CompressedSource::Group& shared = group();
    return [&shared](u64) { return percentOf(shared.consumed(), shared.fileSize()); };
  }
  // Throws `code` when the stream holds more than the sectors covered: the image is
  // larger than the drive.
  void requireEnd(VantorErrorCodes code) {
    DiskBufferPointer more(sectorSize_);
    if (readSectors(more.get(), 1) != 0) {
      throw VantorException(code, vrk::SprintfFormat("The disk image goes on past the drive's last sector (%08I64Xh): "
                                                     "it is larger than the drive",
                                                     driveSectors_ - 1));
    }
  }

 private:
  CompressedSource::Group& group() const { return reader_->group(); }
  std::shared_ptr<CompressedSource> reader_;
  const DiskImagerImp& engine_;
  u32 sectorSize_;
  u64 driveSectors_;
  bool stated_;
  u64 sectors_;
};

}  // namespace vantor

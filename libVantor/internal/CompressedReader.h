// libVantor/internal/CompressedReader.h
// The reader of a compressed image one restore or verify reads through: the one it was
// given (a CompressedSource shared with other imagers), or one of a group of its own.
// It leaves its group when the operation ends, however it ends and whoever else still
// holds it, so that the other readers no longer wait for it.
#pragma once
#include <memory>
#include <utility>

#include <libVantor/internal/CompressedGroup.h>

namespace vantor {

class CompressedReader {
 public:
  CompressedReader(std::shared_ptr<CompressedSource> given, const vrk::String& path)
      : reader_(given ? std::move(given) : CompressedSource::open(path, 1).front()) {}
  ~CompressedReader() { group().leave(reader_->index()); }
  CompressedReader(const CompressedReader&) = delete;
  CompressedReader& operator=(const CompressedReader&) = delete;

  u32 readSectors(u8* into, u32 count, u32 sectorSize) {
    return group().readSectors(reader_->index(), into, count, sectorSize);
  }
  CompressedSource::Group& group() const { return reader_->group(); }

 private:
  std::shared_ptr<CompressedSource> reader_;
};

}  // namespace vantor

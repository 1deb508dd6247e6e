// libVantor/internal/CompressedReader.h
// The reader of a compressed image one restore or verify reads through: the one it was
// given (a CompressedSource shared with other imagers), or one of a group of its own.
// It leaves its group when the operation ends, however it ends and whoever else still
// holds it, so that the other readers no longer wait for it.
#pragma once
#include <memory>
#include <utility>

#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/DiskImagerImp.h>

namespace vantor {

class CompressedReader {
 public:
  // An abort of `engine`'s operation ends a wait for the other readers.
  CompressedReader(std::shared_ptr<CompressedSource> given, const vrk::String& path, const DiskImagerImp& engine)
      : reader_(given ? std::move(given) : CompressedSource::open(path, 1).front()), engine_(engine) {}
  ~CompressedReader() { group().leave(reader_->index()); }
  CompressedReader(const CompressedReader&) = delete;
  CompressedReader& operator=(const CompressedReader&) = delete;

  u32 readSectors(u8* into, u32 count, u32 sectorSize) {
    return group().readSectors(reader_->index(), into, count, sectorSize, [this] { engine_.throwIfAbortRequested(); });
  }
  CompressedSource::Group& group() const { return reader_->group(); }

 private:
  std::shared_ptr<CompressedSource> reader_;
  const DiskImagerImp& engine_;
};

}  // namespace vantor

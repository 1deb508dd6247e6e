// libVantor/CompressedSource.h
// A compressed disk image (see DiskImager::startWritingCompressed) written onto or
// compared with several drives at once, and decompressed once for them all. readersOf()
// gives one reader per drive; each goes to one imager's operation. The readers go
// through the stream together: what was decompressed is kept (up to 32 MiB) until
// every reader still in the group has taken it, so the fastest drive waits when it is
// that far ahead of the slowest. A reader that goes away (its operation ended, failed
// or was aborted, or it was never used) no longer holds the others back, and damage in
// the stream reaches each reader when it gets there. Readers of a compressed image of
// this library's own share one opening of it instead, each reading where it is, its
// frames decompressed once while they stay in its cache. Readers may be used from any
// threads, each by one at a time.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include <libVantor/Export.h>
#include <libVantor/Types.h>
#include <vrk/String.h>

namespace vantor {

class VANTOR_EXPORT CompressedSource final {
 public:
  // Opens the file at `path` for `readers` readers; throws VantorException as
  // CompressedStream's opening does (ERR_FILE_ACCESS, ERR_INVALID_IMAGE_FILE).
  static std::vector<std::shared_ptr<CompressedSource>> readersOf(const vrk::String& path, std::size_t readers);
  ~CompressedSource();  // leaves the group
  CompressedSource(const CompressedSource&) = delete;
  CompressedSource& operator=(const CompressedSource&) = delete;

  const vrk::String& path() const;
  // The decompressed bytes this reader has given its operation: once a restore has
  // written the image, all of them (what lies on the drive from sector 0).
  u64 bytesTaken() const;

  // The library's side, shared by the readers of one file.
  struct Group;
  Group& group() const { return *group_; }
  std::size_t index() const { return index_; }

 private:
  CompressedSource(std::shared_ptr<Group> group, std::size_t index);
  std::shared_ptr<Group> group_;
  std::size_t index_;
};

}  // namespace vantor

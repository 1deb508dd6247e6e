// libVantor/internal/ImageCommit.h
// The files of a capture with checksums: the image is written to IMAGE.partial-XXXXXX
// beside IMAGE, made by this capture (it did not exist before). commit() puts it at IMAGE
// with its checksum file so that a power cut at any moment leaves IMAGE either as it was,
// absent, or whole with the checksum file that belongs to it: the image file is synced;
// the checksum file is written to a temporary file of its own and synced; an IMAGE being
// replaced (and its checksum file) is removed; the checksum file is renamed into place,
// then the image, the directory synced after each step. Until commit() an existing IMAGE
// stays as it was, and a capture that fails or is given up leaves none of its files (the
// destructor removes them unless committed). Throws VantorException(ERR_FILE_ACCESS)
// naming the file and the system's reason. Worker thread.
#pragma once
#include <vector>

#include <libVantor/Types.h>
#include <vrk/String.h>

namespace vantor {

class ImageCommit {
 public:
  // `replace`: IMAGE may exist and is replaced; otherwise an existing IMAGE is refused,
  // and so is anything but a regular file (a device, a folder, a link) either way.
  ImageCommit(const vrk::String& image, bool replace);
  ~ImageCommit();
  ImageCommit(const ImageCommit&) = delete;
  ImageCommit& operator=(const ImageCommit&) = delete;

  const vrk::String& temporaryPath() const { return temporary_; }
  // Puts the complete image at IMAGE, with `sums` (the checksum file's bytes) at
  // IMAGE.sums; without sums (empty) no checksum file is left.
  void commit(const std::vector<u8>& sums);

 private:
  [[noreturn]] void fail(const vrk::String& what, const vrk::String& path) const;
  void removeSums();

  vrk::String image_;
  vrk::String sumsPath_;
  vrk::String temporary_;
  vrk::String sumsTemporary_;
  bool replace_;
  bool sumsPlaced_ = false;
  bool committed_ = false;
};

}  // namespace vantor

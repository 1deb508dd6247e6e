#include <libVantor/internal/ImageCommit.h>

#include <random>
#include <string>

#include <libVantor/VantorException.h>
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/FileCommitOps.h>
#include <libVantor/internal/ImageSumsCheck.h>

namespace vantor {
namespace {

// A new, empty file beside `target`, named target + ".partial-" and six letters, that
// did not exist before; its path, or empty.
vrk::String createFileBeside(const vrk::String& target) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(0, sizeof letters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = target.str() + ".partial-";
    for (int i = 0; i < 6; ++i) name += letters[pick(random)];
    bool existed = false;
    if (os::createNewFile(name, existed)) return name;
    if (!existed) break;
  }
  return vrk::String();
}

}  // namespace

ImageCommit::ImageCommit(const vrk::String& image, bool replace)
    : image_(image), sumsPath_(ImageSumsCheck::pathFor(image)), replace_(replace) {
  bool regular = false;
  if (os::fileExists(image_, regular) && (!replace_ || !regular)) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("image file ") + image_ + " exists" +
                                               (regular ? "" : " and is not a regular file"));
  }
  temporary_ = createFileBeside(image_);
  if (temporary_.empty()) fail("cannot create a file beside", image_);
}

ImageCommit::~ImageCommit() {
  if (committed_) return;
  (void)os::removeFile(temporary_);
  if (!sumsTemporary_.empty()) (void)os::removeFile(sumsTemporary_);
  if (sumsPlaced_) (void)os::removeFile(sumsPath_);
}

void ImageCommit::fail(const vrk::String& what, const vrk::String& path) const {
  const int error = os::lastSystemError();
  throw VantorException(ERR_FILE_ACCESS, what + " \"" + path + "\": " + os::systemErrorText(error));
}

void ImageCommit::commit(const std::vector<u8>& sums) {
  if (!os::syncFile(temporary_)) fail("cannot write", temporary_);
  if (!sums.empty()) {
    sumsTemporary_ = createFileBeside(sumsPath_);
    if (sumsTemporary_.empty()) fail("cannot create a file beside", sumsPath_);
    if (!os::writeWholeFile(sumsTemporary_, sums.data(), sums.size()) || !os::syncFile(sumsTemporary_)) {
      fail("cannot write", sumsTemporary_);
    }
  }
  // The old image goes first: from here a cut leaves no image rather than one beside a
  // checksum file of another.
  bool removed = false;
  if (replace_) {
    removed = os::removeFile(image_);
    removed = os::removeFile(sumsPath_) || removed;
  }
  if (removed && !os::syncDirectoryOf(image_)) fail("cannot write the directory of", image_);
  if (!sums.empty()) {
    if (!os::moveFile(sumsTemporary_, sumsPath_, true)) fail("cannot put the checksum file at", sumsPath_);
    sumsPlaced_ = true;
    sumsTemporary_ = vrk::String();
    if (!os::syncDirectoryOf(sumsPath_)) fail("cannot write the directory of", sumsPath_);
  }
  if (!os::moveFile(temporary_, image_, replace_)) fail("cannot put the captured image at", image_);
  committed_ = true;
  if (!os::syncDirectoryOf(image_)) {
    committed_ = false;  // the image is not known to be in place: it and its checksums go
    temporary_ = image_;
    fail("cannot write the directory of", image_);
  }
}

}  // namespace vantor

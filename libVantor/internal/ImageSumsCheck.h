// libVantor/internal/ImageSumsCheck.h
// Holds an image file against its checksum file (IMAGE.sums) in the order an operation
// reads the image: on construction the checksum file itself, then the image's size,
// sector size, header and run table; then through(end) each chunk of 256 sectors that
// begins before the file offset `end` and was not held yet, so that a restore or a
// verify holds each chunk just before it uses it, and a whole pass is through(size()).
// The image is read through a mapping of its own (a compressed image decompressed: the
// checksums are of the image's own bytes); one that cannot be mapped throws
// ERR_FILE_ACCESS on construction, and a compressed one whose seek table, or a frame
// holding the header or a run record, is damaged ERR_INVALID_IMAGE_FILE. Otherwise nothing throws but require(), which turns
// a disagreement or an unusable checksum file into the operation's error
// (ERR_INVALID_IMAGE_FILE); an image without a checksum file is not held at all.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <libVantor/Types.h>
#include <libVantor/internal/ImageSumsFile.h>
#include <vrk/String.h>

namespace vantor {

class ImageBytes;

class ImageSumsCheck {
 public:
  enum class State { Agree, Missing, Malformed, Disagree };

  explicit ImageSumsCheck(const vrk::String& image);
  // As above, reading the image through `bytes` (opened on `image`), which the caller may
  // read too: a compressed image's frames are then decompressed once for both.
  ImageSumsCheck(const vrk::String& image, std::shared_ptr<const ImageBytes> bytes);
  ~ImageSumsCheck();
  ImageSumsCheck(const ImageSumsCheck&) = delete;
  ImageSumsCheck& operator=(const ImageSumsCheck&) = delete;

  State state() const { return state_; }
  // Disagree: where ("run 3 chunk 7", "the header or run table", "its size");
  // Malformed: what is wrong with the checksum file.
  const std::string& detail() const { return detail_; }
  u64 size() const { return imageSize_; }
  // Holds the chunks that begin before `end`; false once anything disagrees.
  bool through(u64 end);
  // Throws the operation's error for Malformed or Disagree.
  void require() const;

  static vrk::String pathFor(const vrk::String& image) { return image + ".sums"; }
  // "the image and its checksum file disagree (at WHERE): the image is damaged, or the
  // checksum file belongs to another image"
  static std::string disagreement(const std::string& where);

 private:
  struct Run {
    u64 dataOffset;
    u64 sectors;
  };
  void disagree(const std::string& where);

  vrk::String image_;
  std::shared_ptr<const ImageBytes> file_;
  std::vector<u8> chunk_buffer_;  // a compressed image's chunk, decompressed
  u64 imageSize_ = 0;
  ImageSumsFile sums_;
  std::vector<Run> runs_;  // in file order
  // The first chunk not held yet: its run, its place in the run, its digest.
  std::size_t run_ = 0;
  u64 chunk_ = 0;
  std::size_t digest_ = 0;
  State state_ = State::Agree;
  std::string detail_;
};

}  // namespace vantor

// libVantor/ImageChecksums.h
// The checksum file that lets an image prove it is intact: IMAGE.sums beside IMAGE holds
// the image's size, a digest of its header and run table, and one digest per chunk of 256
// sectors of each run's data (XXH3, 64 bits; layout in docs/image_sums.md). A capture
// writes it when its imager's checksums are on (DiskImager::setImageChecksums), and a
// restore or a verify with them on holds the image against it as it goes. check() holds
// a whole image against it at once and names the first place that disagrees; it throws
// only for an image that cannot be read (ERR_FILE_ACCESS) or whose header the library
// refuses (its own error).
#pragma once
#include <string>

#include <libVantor/Export.h>
#include <libVantor/Types.h>

namespace vantor {

class VANTOR_EXPORT ImageChecksums final {
 public:
  enum class Verdict {
    Intact,
    Disagree,   // the image is damaged, or the checksum file belongs to another image
    Unusable,   // the checksum file cannot be read or is not a checksum file
    Missing,    // no checksum file
    Stopped,    // the pass was stopped before its end
  };
  struct Result {
    Verdict verdict = Verdict::Missing;
    // Disagree: "run 3 chunk 7", "the header or run table" or "its size"; Unusable: why.
    std::string detail;
  };

  static constexpr u32 CHUNK_SECTORS = 256;

  static std::string pathFor(const std::string& image) { return image + ".sums"; }
  // Holds `image` against its checksum file: the header and run table only, or with
  // `wholeImage` every chunk as well (one pass over the file). Once `stopped` (when
  // given; asked between chunks) answers true, the pass ends with Verdict::Stopped.
  static Result check(const std::string& image, bool wholeImage, bool (*stopped)() = nullptr);
  // "intact", "no checksums", "not checked", "unusable (WHY)" or the disagreement in the
  // words of message().
  static std::string describe(const Result& result);
  // The sentence an operation fails with for a Disagree or Unusable result: "the image
  // and its checksum file disagree (at run 3 chunk 7): the image is damaged, or the
  // checksum file belongs to another image", or "the checksum file IMAGE.sums is
  // unusable: WHY".
  static std::string message(const std::string& image, const Result& result);
};

}  // namespace vantor

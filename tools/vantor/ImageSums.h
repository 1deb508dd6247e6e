// tools/vantor/ImageSums.h
// The checksum file that lets an image prove it is intact: IMAGE.sums, written by
// capture once the image is complete, holds the image's size, a digest of its header
// and run table, and one digest per chunk of 256 sectors of each run's data (XXH3, 64
// bits; the layout is in docs/image_sums.md). The image format itself stays as it is.
// check() reads the image through the library's reading of it (ImageDisk) and names
// the first place that disagrees. Errors: write() throws VantorException(ERR_FILE_ACCESS)
// naming the path and the system's reason; check() reports, it does not throw, except
// for an image the library refuses (its own error) or one that cannot be read to its end
// (ERR_FILE_ACCESS).
#pragma once
#include <cstdint>
#include <string>

namespace vantor::cli {

class ChunkDigests;

class ImageSums {
 public:
  enum class Verdict { Intact, Damaged, NoSums, Stopped };
  struct Result {
    Verdict verdict = Verdict::NoSums;
    std::string where;  // for Damaged: "run 3 chunk 7", "the header or run table", ...
  };

  // Sectors in a chunk of a run, as the image is written and as each digest covers.
  static constexpr std::uint32_t CHUNK_SECTORS = 256;

  static std::string pathFor(const std::string& image) { return image + ".sums"; }
  // Writes IMAGE.sums for the complete image, through a temporary file renamed over it;
  // a failure leaves no checksum file at all (an old one would not fit the new image).
  // The chunks whose digests `known` holds (those of the reads that made the image) are
  // not read again.
  static void write(const std::string& image, const ChunkDigests* known = nullptr);
  // Refuses (ERR_INVALID_IMAGE_FILE naming the place) an image its checksums call damaged,
  // reading it whole; notes on standard error an image without checksums.
  static void requireIntact(const std::string& image) { require(check(image, true), image, "nothing was written"); }
  // The same for a `result` of check(): `outcome` (when not empty) says what became of
  // the targets.
  static void require(const Result& result, const std::string& image, const std::string& outcome);
  // Holds the image against IMAGE.sums: the header and run table only, or with
  // `wholeImage` every chunk as well (one read pass over the file, less the chunks whose
  // digests `known` holds: those that an operation just wrote from the image). Once
  // `stopped` (when given; polled between reads) answers true, the pass ends early with
  // Verdict::Stopped.
  static Result check(const std::string& image, bool wholeImage, const ChunkDigests* known = nullptr,
                      bool (*stopped)() = nullptr);
  // "intact", "damaged at run 3 chunk 7", "no checksums", "not checked".
  static std::string describe(const Result& result);
};

}  // namespace vantor::cli

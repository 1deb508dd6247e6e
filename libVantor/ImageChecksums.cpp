#include <libVantor/ImageChecksums.h>

#include <libVantor/internal/ImageSumsCheck.h>

namespace vantor {

ImageChecksums::Result ImageChecksums::check(const std::string& image, bool wholeImage, bool (*stopped)()) {
  ImageSumsCheck sums(image);
  switch (sums.state()) {
    case ImageSumsCheck::State::Missing:
      return {Verdict::Missing, std::string()};
    case ImageSumsCheck::State::Malformed:
      return {Verdict::Unusable, sums.detail()};
    case ImageSumsCheck::State::Disagree:
      return {Verdict::Disagree, sums.detail()};
    case ImageSumsCheck::State::Agree:
      break;
  }
  if (wholeImage) {
    constexpr u64 STEP = 8u << 20;  // how far the pass goes between two questions to `stopped`
    for (u64 end = STEP;; end += STEP) {
      if (stopped != nullptr && stopped()) return {Verdict::Stopped, std::string()};
      if (!sums.through(end)) return {Verdict::Disagree, sums.detail()};
      if (end >= sums.size()) break;
    }
  }
  return {Verdict::Intact, std::string()};
}

std::string ImageChecksums::describe(const Result& result) {
  switch (result.verdict) {
    case Verdict::Intact:
      return "intact";
    case Verdict::Disagree:
      return "the image and its checksum file disagree (at " + result.detail + ")";
    case Verdict::Unusable:
      return "unusable checksum file (" + result.detail + ")";
    case Verdict::Stopped:
      return "not checked";
    case Verdict::Missing:
      break;
  }
  return "no checksums";
}

std::string ImageChecksums::message(const std::string& image, const Result& result) {
  if (result.verdict == Verdict::Unusable) {
    return "the checksum file " + pathFor(image) + " is unusable: " + result.detail;
  }
  return ImageSumsCheck::disagreement(result.detail);
}

}  // namespace vantor

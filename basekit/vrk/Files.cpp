// The parts of Files.h that are the same on every system.
#include <vrk/Files.h>

namespace vrk {

String NonDiscreteMeasurement::toString(int decimals) const {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int magnitude = magnitude_;
  if (magnitude < 0 || magnitude > 5) {
    magnitude = 0;
    double v = bytes_;
    while (v >= 1024.0 && magnitude < 5) {
      v /= 1024.0;
      ++magnitude;
    }
  }
  double value = bytes_;
  for (int i = 0; i < magnitude; ++i) value /= 1024.0;
  return SprintfFormat("%.*f %s", decimals, value, units[magnitude]);
}

}  // namespace vrk

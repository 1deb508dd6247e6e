// Volumes are not listed under each drive on Windows yet: the listing shows drives alone.
#include "../VolumeFacts.h"

namespace vantor::cli {

std::vector<VolumeFacts> VolumeFacts::ofDevice(const std::string&) { return {}; }

std::vector<VolumeFacts> VolumeFacts::partitionsOf(const std::string&) { return {}; }

}  // namespace vantor::cli

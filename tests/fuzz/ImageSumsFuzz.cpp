// A checksum file (IMAGE.sums) straight from the fuzzer's bytes, read as the library
// reads it. Whatever the bytes, nothing may read past them or allocate without bound, and
// a file it takes is exactly what encode() makes of what it read: no two byte strings
// mean the same checksums.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>

#include <libVantor/internal/ImageSumsFile.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor::ImageSumsFile sums;
  std::string problem;
  if (!vantor::ImageSumsFile::parse(data, size, sums, problem)) {
    if (problem.empty()) std::abort();
    return 0;
  }
  const std::vector<vantor::u8> again = sums.encode();
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) std::abort();
  return 0;
}

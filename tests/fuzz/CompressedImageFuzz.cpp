// A compressed image file straight from the fuzzer's bytes (the seeds: small images
// captured with compression, and copies with their tables or frames changed), opened as
// the readers open it (ImageBytes), then read front to back in pieces of changing sizes
// and at a few offsets again, as a restore and ImageDisk read it. Whatever the bytes: no
// crash, no read past them, and a refusal is ERR_INVALID_IMAGE_FILE; a file that opens
// as compressed has a seek table that parses, and yields the same bytes at an offset
// read twice.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/internal/CompressedImageFormat.h>
#include <libVantor/internal/ImageBytes.h>

namespace {

// Reading stops here: the table may promise gigabytes.
constexpr std::uint64_t MOST_BYTES = 8u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantor;
  std::unique_ptr<ImageBytes> bytes;
  try {
    bytes = std::make_unique<ImageBytes>(data, size, "input");
  } catch (const VantorException& e) {
    if (e.getErrorCode() != ERR_INVALID_IMAGE_FILE) std::abort();
    return 0;
  }
  if (bytes->isCompressed()) {
    SeekTable table;
    std::string why;
    if (!parseSeekTable(data, size, table, why) || table.imageBytes != bytes->size()) std::abort();
  } else if (bytes->size() != size) {
    std::abort();
  }
  std::vector<u8> buffer(70000), again(70000);
  std::size_t piece = 1;
  try {
    for (u64 at = 0; at < bytes->size() && at < MOST_BYTES;) {
      piece = piece * 7 % buffer.size() + 1;
      const std::size_t n = static_cast<std::size_t>(std::min<u64>(piece, bytes->size() - at));
      bytes->read(at, buffer.data(), n);
      bytes->read(at, again.data(), n);  // from the cache this time
      if (std::memcmp(buffer.data(), again.data(), n) != 0) std::abort();
      if (!bytes->isCompressed() && std::memcmp(buffer.data(), data + at, n) != 0) std::abort();  // as it is
      at += n;
    }
  } catch (const VantorException& e) {
    if (e.getErrorCode() != ERR_INVALID_IMAGE_FILE) std::abort();
  }
  // Past the end is refused, never read.
  try {
    bytes->read(bytes->size(), buffer.data(), 1);
    std::abort();
  } catch (const VantorException& e) {
    if (e.getErrorCode() != ERR_INVALID_IMAGE_FILE) std::abort();
  }
  return 0;
}

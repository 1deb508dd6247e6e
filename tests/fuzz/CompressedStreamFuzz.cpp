// A compressed disk image straight from the fuzzer's bytes (the seeds: small files made
// by gzip, xz, zstd, bzip2 and zip, some of several members or blocks), read through as
// a restore reads it, in pieces of changing sizes. Whatever the bytes: no crash, no read
// past them, bounded memory; a failure is ERR_INVALID_IMAGE_FILE (ERR_FILE_ACCESS for an
// empty file) with a message; a stream whose file states its size yields exactly that
// many bytes, and at least what leastSize() promised.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <libVantor/VantorException.h>
#include <libVantor/internal/CompressedStream.h>

namespace {

// The input goes into one file of this process, rewritten for each input. It is
// unlinked at once and opened through the descriptor kept open, so that nothing is left
// behind however the process ends.
struct InputFile {
  InputFile() {
    char name[] = "/tmp/vantor-fuzz-stream-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    unlink(name);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  std::string path;
};
const std::string& inputPath() {
  static const InputFile file;
  return file.path;
}

// Decompression stops here: a small input may stand for gigabytes.
constexpr std::uint64_t MOST_BYTES = 8u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    FILE* file = std::fopen(inputPath().c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
  }
  try {
    vantor::CompressedStream stream(inputPath().c_str());
    if (stream.kind() != vantor::CompressedStream::kindOf(data, size)) std::abort();
    std::vector<vantor::u8> buffer(70000);
    std::size_t piece = 1;
    for (;;) {
      piece = piece * 7 % buffer.size() + 1;  // 8, 57, 400, ... every size up to the buffer's
      const std::size_t got = stream.read(buffer.data(), piece);
      if (got > piece) std::abort();
      if (got < piece) break;
      if (stream.produced() > MOST_BYTES) return 0;
    }
    if (stream.read(buffer.data(), 1) != 0) std::abort();  // over is over
    if (stream.size() && stream.produced() != *stream.size()) std::abort();
    if (stream.produced() < stream.leastSize()) std::abort();
  } catch (const vantor::VantorException& error) {
    if (error.getMessage().empty()) std::abort();
    const auto code = error.getErrorCode();
    if (code != vantor::ERR_INVALID_IMAGE_FILE && !(code == vantor::ERR_FILE_ACCESS && size == 0)) std::abort();
  }
  return 0;
}

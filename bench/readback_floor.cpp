// The least a verified restore can cost on a device: copies the first BYTES of SOURCE onto
// DEVICE in 128 KiB pieces, each written with O_DIRECT and read back with O_DIRECT and
// compared before the next, as a verified restore must, with nothing else (no image
// format, no checks, one thread). compare.sh times it beside dd and vantor restore --verify.
// Usage: readback_floor SOURCE DEVICE BYTES   (exit 0: copied and verified)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t PIECE = 128 * 1024;

struct Aligned {
  void operator()(void* p) const { std::free(p); }
};

std::unique_ptr<char, Aligned> alignedPiece() {
  void* p = nullptr;
  if (posix_memalign(&p, 4096, PIECE) != 0) return nullptr;
  return std::unique_ptr<char, Aligned>(static_cast<char*>(p));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: readback_floor SOURCE DEVICE BYTES\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long long bytes = std::strtoull(argv[3], &end, 10);
  if (*argv[3] == '\0' || *end != '\0' || bytes == 0 || bytes % 4096 != 0) {
    std::fprintf(stderr, "readback_floor: BYTES must be a positive multiple of 4096\n");
    return 2;
  }
  const int source = ::open(argv[1], O_RDONLY);
  const int device = ::open(argv[2], O_RDWR | O_DIRECT);
  const auto written = alignedPiece(), back = alignedPiece();
  if (source < 0 || device < 0 || !written || !back) {
    std::perror("readback_floor");
    return 1;
  }
  for (unsigned long long at = 0; at < bytes; at += PIECE) {
    // Whole pages (O_DIRECT on any sector size): BYTES is a multiple of 4096.
    const std::size_t n = bytes - at < PIECE ? static_cast<std::size_t>(bytes - at) : PIECE;
    const ssize_t in = ::pread(source, written.get(), n, static_cast<off_t>(at));
    const ssize_t out = in == static_cast<ssize_t>(n) ? ::pwrite(device, written.get(), n, static_cast<off_t>(at)) : -1;
    const ssize_t back_in = out == static_cast<ssize_t>(n) ? ::pread(device, back.get(), n, static_cast<off_t>(at)) : -1;
    if (back_in != static_cast<ssize_t>(n)) {
      std::fprintf(stderr, "readback_floor: a transfer at byte %llu failed or fell short\n", at);
      return 1;
    }
    if (std::memcmp(written.get(), back.get(), n) != 0) {
      std::fprintf(stderr, "readback_floor: mismatch at byte %llu\n", at);
      return 1;
    }
  }
  return ::close(device) == 0 ? 0 : 1;
}

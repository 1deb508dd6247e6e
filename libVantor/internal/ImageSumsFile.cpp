// The checksum file's bytes. XXH3 is compiled in
// from its header (XXH_INLINE_ALL), so that no platform needs the library itself.
#include <libVantor/internal/ImageSumsFile.h>

#include <xxhash.h>

#include <cstring>

#include <libVantor/LittleEndian.h>

namespace vantor {
namespace {

constexpr char MAGIC[16] = "VANTOR SUMS\0\0\0\0";
constexpr u32 VERSION = 1;

void put32(std::vector<u8>& out, u32 value) {
  out.resize(out.size() + 4);
  writeLE32(&out[out.size() - 4], value);
}
void put64(std::vector<u8>& out, u64 value) {
  out.resize(out.size() + 8);
  writeLE64(&out[out.size() - 8], value);
}

}  // namespace

u64 ImageSumsFile::digest(const void* data, std::size_t size) { return XXH3_64bits(data, size); }

std::vector<u8> ImageSumsFile::encode() const {
  std::vector<u8> out(MAGIC, MAGIC + sizeof MAGIC);
  put32(out, VERSION);
  put32(out, CHUNK_SECTORS);
  put32(out, sectorSize);
  put64(out, imageSize);
  put64(out, table);
  put64(out, chunks.size());
  for (u64 chunk : chunks) put64(out, chunk);
  put64(out, digest(out.data(), out.size()));  // the file's own digest
  return out;
}

bool ImageSumsFile::parse(const u8* bytes, std::size_t size, ImageSumsFile& out, std::string& problem) {
  if (size < FIXED_BYTES + 8 || std::memcmp(bytes, MAGIC, sizeof MAGIC) != 0) {
    problem = "it is not a checksum file";
    return false;
  }
  if (readLE64(bytes + size - 8) != digest(bytes, size - 8)) {
    problem = "its own digest does not match its contents";
    return false;
  }
  if (readLE32(bytes + 16) != VERSION || readLE32(bytes + 20) != CHUNK_SECTORS) {
    problem = "it is of another version";
    return false;
  }
  const u64 count = readLE64(bytes + 44);
  if (count > (size - FIXED_BYTES - 8) / 8 || size != FIXED_BYTES + 8 * count + 8) {
    problem = "its length does not match its count of digests";
    return false;
  }
  out.sectorSize = readLE32(bytes + 24);
  out.imageSize = readLE64(bytes + 28);
  out.table = readLE64(bytes + 36);
  out.chunks.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < out.chunks.size(); ++i) out.chunks[i] = readLE64(bytes + FIXED_BYTES + 8 * i);
  return true;
}

}  // namespace vantor

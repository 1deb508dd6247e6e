#include "ImageSums.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <libVantor/ImageDisk.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>

namespace vantor::cli {
namespace {

constexpr char MAGIC[16] = "VANTOR SUMS\0\0\0\0";
constexpr std::uint32_t VERSION = 1;
constexpr std::uint32_t CHUNK_SECTORS = 256;

// The sums file's fields are 4 or 8 bytes, little-endian.
void putLE(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
  out.resize(out.size() + bytes);
  if (bytes == 4) {
    writeLE32(&out[out.size() - 4], static_cast<u32>(value));
  } else {
    writeLE64(&out[out.size() - 8], value);
  }
}
std::uint64_t getLE(const unsigned char* in, int bytes) { return bytes == 4 ? readLE32(in) : readLE64(in); }

// The digests of one image, in the order the file keeps them.
struct Digests {
  std::uint64_t imageSize = 0;
  std::uint32_t sectorSize = 0;
  std::uint64_t table = 0;             // the header and every run header
  std::vector<std::uint64_t> chunks;   // run by run, chunk by chunk
  std::vector<std::pair<std::uint32_t, std::uint32_t>> places;  // (run, chunk) of each, from 1
};

// Reads into `bytes`, which keeps its memory from one read to the next.
void readAt(std::ifstream& in, std::uint64_t offset, std::size_t count, std::vector<unsigned char>& bytes) {
  bytes.resize(count);
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count))) {
    throw VantorException(ERR_FILE_ACCESS, "the image could not be read to its end");
  }
}

// The digests of `image` as it is now; without `chunks` only the header and run table.
Digests compute(const std::string& image, bool chunks) {
  const ImageDisk disk(image);
  std::ifstream in(image, std::ios::binary);
  if (!in) throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + image + "\"");
  Digests d;
  d.imageSize = disk.getFileSize();
  d.sectorSize = disk.getSectorSize();
  const auto& runs = disk.getRuns();
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> owned(state, XXH3_freeState);
  XXH3_64bits_reset(state);
  const std::uint64_t headerBytes = runs.empty() ? d.imageSize : runs.front().fileOffset - ImageDisk::RUN_RECORD_BYTES;
  std::vector<unsigned char> buffer;
  readAt(in, 0, static_cast<std::size_t>(headerBytes), buffer);
  XXH3_64bits_update(state, buffer.data(), buffer.size());
  for (const ImageDisk::Run& run : runs) {
    readAt(in, run.fileOffset - ImageDisk::RUN_RECORD_BYTES, ImageDisk::RUN_RECORD_BYTES, buffer);
    XXH3_64bits_update(state, buffer.data(), buffer.size());
  }
  d.table = XXH3_64bits_digest(state);
  for (std::uint32_t r = 0; chunks && r < runs.size(); ++r) {
    for (std::uint64_t c = 0; c * CHUNK_SECTORS < runs[r].sectorCount; ++c) {
      const std::uint64_t sectors = std::min<std::uint64_t>(CHUNK_SECTORS, runs[r].sectorCount - c * CHUNK_SECTORS);
      readAt(in, runs[r].fileOffset + c * CHUNK_SECTORS * d.sectorSize, static_cast<std::size_t>(sectors * d.sectorSize),
             buffer);
      d.chunks.push_back(XXH3_64bits(buffer.data(), buffer.size()));
      d.places.emplace_back(r + 1, static_cast<std::uint32_t>(c + 1));
    }
  }
  return d;
}

std::vector<unsigned char> encode(const Digests& d) {
  std::vector<unsigned char> out(MAGIC, MAGIC + sizeof MAGIC);
  putLE(out, VERSION, 4);
  putLE(out, CHUNK_SECTORS, 4);
  putLE(out, d.sectorSize, 4);
  putLE(out, d.imageSize, 8);
  putLE(out, d.table, 8);
  putLE(out, d.chunks.size(), 8);
  for (std::uint64_t chunk : d.chunks) putLE(out, chunk, 8);
  putLE(out, XXH3_64bits(out.data(), out.size()), 8);  // the file's own digest
  return out;
}

}  // namespace

void ImageSums::write(const std::string& image) {
  const std::string path = pathFor(image), temporary = path + ".partial";
  std::remove(path.c_str());
  const std::vector<unsigned char> bytes = encode(compute(image, true));
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      const int error = errno;
      std::remove(temporary.c_str());
      throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot write \"") + temporary + "\": " + std::strerror(error));
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temporary.c_str());
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot write \"") + path + "\": " + std::strerror(error));
  }
}

ImageSums::Result ImageSums::check(const std::string& image, bool wholeImage) {
  std::ifstream in(pathFor(image), std::ios::binary);
  if (!in) return {Verdict::NoSums, std::string()};
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t fixed = sizeof MAGIC + 4 + 4 + 4 + 8 + 8 + 8;
  if (file.size() < fixed + 8 || std::memcmp(file.data(), MAGIC, sizeof MAGIC) != 0 ||
      getLE(file.data() + file.size() - 8, 8) != XXH3_64bits(file.data(), file.size() - 8) ||
      getLE(file.data() + 16, 4) != VERSION || getLE(file.data() + 20, 4) != CHUNK_SECTORS) {
    return {Verdict::Damaged, "the checksum file " + pathFor(image)};
  }
  const std::uint64_t count = getLE(file.data() + 44, 8);
  if (file.size() != fixed + 8 * count + 8) return {Verdict::Damaged, "the checksum file " + pathFor(image)};
  const Digests now = compute(image, wholeImage);
  if (now.imageSize != getLE(file.data() + 28, 8)) return {Verdict::Damaged, "its size"};
  if (now.sectorSize != getLE(file.data() + 24, 4) || now.table != getLE(file.data() + 36, 8)) {
    return {Verdict::Damaged, "the header or run table"};
  }
  if (wholeImage) {
    if (now.chunks.size() != count) return {Verdict::Damaged, "the header or run table"};
    for (std::size_t i = 0; i < now.chunks.size(); ++i) {
      if (now.chunks[i] != getLE(file.data() + fixed + 8 * i, 8)) {
        return {Verdict::Damaged, "run " + std::to_string(now.places[i].first) + " chunk " +
                                      std::to_string(now.places[i].second)};
      }
    }
  }
  return {Verdict::Intact, std::string()};
}

void ImageSums::requireIntact(const std::string& image) {
  const Result result = check(image, true);
  if (result.verdict == Verdict::Damaged) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the image ") + image + " is damaged at " + result.where +
                                                      " (its checksums say so): nothing was written");
  }
  if (result.verdict == Verdict::NoSums) {
    std::fprintf(stderr, "vantor: note: %s has no checksums (%s), so it cannot prove it is intact\n", image.c_str(),
                 pathFor(image).c_str());
  }
}

std::string ImageSums::describe(const Result& result) {
  switch (result.verdict) {
    case Verdict::Intact:
      return "intact";
    case Verdict::Damaged:
      return "damaged at " + result.where;
    case Verdict::NoSums:
      break;
  }
  return "no checksums";
}

}  // namespace vantor::cli

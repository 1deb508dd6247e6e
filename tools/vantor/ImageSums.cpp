#include "ImageSums.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include <libVantor/ImageDisk.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>

#include "ChunkDigests.h"
#include "Utf8Path.h"

namespace vantor::cli {
namespace {

constexpr char MAGIC[16] = "VANTOR SUMS\0\0\0\0";
constexpr std::uint32_t VERSION = 1;
constexpr std::uint32_t CHUNK_SECTORS = ImageSums::CHUNK_SECTORS;

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

std::ifstream openImage(const std::string& image) {
  std::ifstream in(fsPath(image), std::ios::binary);
  if (!in) throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + image + "\"");
  return in;
}

// One chunk of a run's data in the file, and the place of its digest.
struct ChunkPlace {
  std::uint64_t offset;
  std::size_t bytes;
  std::size_t digest;
};

// Digests chunks [first, last) (each into its place in `out`), reading up to 1 MiB of
// adjacent chunks at a time, until `stopped` (when given) says so.
void digestChunks(const std::string& image, const std::vector<ChunkPlace>& chunks, std::size_t first, std::size_t last,
                  std::vector<std::uint64_t>& out, bool (*stopped)()) {
  constexpr std::size_t READ_BYTES = 1024 * 1024;
  std::ifstream in = openImage(image);
  std::vector<unsigned char> buffer;
  while (first < last && (stopped == nullptr || !stopped())) {
    std::size_t end = first + 1, bytes = chunks[first].bytes;
    while (end < last && chunks[end].offset == chunks[first].offset + bytes &&
           bytes + chunks[end].bytes <= READ_BYTES) {
      bytes += chunks[end++].bytes;
    }
    readAt(in, chunks[first].offset, bytes, buffer);
    for (std::size_t at = 0; first < end; at += chunks[first++].bytes) {
      out[chunks[first].digest] = XXH3_64bits(buffer.data() + at, chunks[first].bytes);
    }
  }
}

// The digests of `image` as it is now; without `chunks` only the header and run table.
// A chunk whose digest `known` holds is taken from there; the others are read from the
// file, by up to four threads, each over its own stretch of the file, so that the pass
// takes what the disk or the page cache allows. Once `stopped` (when given) says so, the
// chunks not yet read are left out (the caller must look).
Digests compute(const std::string& image, bool chunks, const ChunkDigests* known, bool (*stopped)()) {
  const ImageDisk disk(image);
  std::ifstream in = openImage(image);
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
  if (!chunks) return d;

  std::vector<ChunkPlace> inFile;  // the chunks to be read, in file order
  std::uint64_t totalBytes = 0;
  for (std::uint32_t r = 0; r < runs.size(); ++r) {
    for (std::uint64_t c = 0; c * CHUNK_SECTORS < runs[r].sectorCount; ++c) {
      const std::uint32_t sectors =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(CHUNK_SECTORS, runs[r].sectorCount - c * CHUNK_SECTORS));
      const std::uint64_t offset = runs[r].fileOffset + c * CHUNK_SECTORS * d.sectorSize;
      d.places.emplace_back(r + 1, static_cast<std::uint32_t>(c + 1));
      d.chunks.push_back(0);
      if (known != nullptr &&
          known->find(static_cast<std::uint32_t>(runs[r].firstSector + c * CHUNK_SECTORS), sectors, d.chunks.back())) {
        continue;
      }
      inFile.push_back({offset, std::size_t(sectors) * d.sectorSize, d.chunks.size() - 1});
      totalBytes += inFile.back().bytes;
    }
  }
  // Stretches of about equal bytes; a small image is one stretch, read on this thread.
  const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
  const std::size_t stretches = std::min<std::uint64_t>(threads, totalBytes / (4 * 1024 * 1024) + 1);
  std::vector<std::size_t> bounds{0};
  for (std::size_t i = 0, done = 0; i < inFile.size(); ++i) {
    done += inFile[i].bytes;
    if (bounds.size() < stretches && done >= totalBytes / stretches * bounds.size()) bounds.push_back(i + 1);
  }
  bounds.push_back(inFile.size());
  std::vector<std::exception_ptr> failures(bounds.size() - 1);
  const auto digestStretch = [&](std::size_t t) {
    try {
      digestChunks(image, inFile, bounds[t], bounds[t + 1], d.chunks, stopped);
    } catch (...) {
      failures[t] = std::current_exception();
    }
  };
  // Stretch 0 is this thread's, and so is any stretch that no thread could be started for.
  std::vector<std::thread> workers;
  workers.reserve(failures.size());
  std::size_t started = 1;
  try {
    for (; started < failures.size(); ++started) workers.emplace_back(digestStretch, started);
  } catch (...) {  // no thread to be had: the rest is read here
  }
  digestStretch(0);
  for (std::size_t t = started; t < failures.size(); ++t) digestStretch(t);
  for (std::thread& worker : workers) worker.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
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

void ImageSums::write(const std::string& image, const ChunkDigests* known) {
  const std::string path = pathFor(image), temporary = path + ".partial";
  std::error_code ignored;
  std::filesystem::remove(fsPath(path), ignored);
  const std::vector<unsigned char> bytes = encode(compute(image, true, known, nullptr));
  {
    std::ofstream out(fsPath(temporary), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      const int error = errno;
      std::filesystem::remove(fsPath(temporary), ignored);
      throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot write \"") + temporary + "\": " + std::strerror(error));
    }
  }
  std::error_code renamed;
  std::filesystem::rename(fsPath(temporary), fsPath(path), renamed);
  if (renamed) {
    std::filesystem::remove(fsPath(temporary), ignored);
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot write \"") + path + "\": " + renamed.message());
  }
}

ImageSums::Result ImageSums::check(const std::string& image, bool wholeImage, const ChunkDigests* known,
                                   bool (*stopped)()) {
  std::ifstream in(fsPath(pathFor(image)), std::ios::binary);
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
  const Digests now = compute(image, wholeImage, known, stopped);
  if (stopped != nullptr && stopped()) return {Verdict::Stopped, std::string()};
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

void ImageSums::require(const Result& result, const std::string& image, const std::string& outcome) {
  if (result.verdict == Verdict::Damaged || result.verdict == Verdict::Stopped) {
    const std::string what = result.verdict == Verdict::Damaged ? "is damaged at " + result.where + " (its checksums say so)"
                                                                : "was not checked to its end";
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the image ") + image + " " + what + (outcome.empty() ? "" : ": " + outcome));
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
    case Verdict::Stopped:
      return "not checked";
    case Verdict::NoSums:
      break;
  }
  return "no checksums";
}

}  // namespace vantor::cli

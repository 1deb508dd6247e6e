// Image files built from the fuzzer's choices (a 90-byte header, run records with their
// sectors, padding before the first record, bytes cut off or added at the end, a few
// bytes broken on purpose), read with getImageInfo, opened as an ImageDisk and read
// through it, checked as startWritingImage checks them and restored onto a disk in
// memory, verified or not, with failing transfers or a refused dismount now and then.
// Whatever the bytes, nothing may read past the file or the disk or crash, and:
// - ImageDisk takes exactly the files whose records are sound (inside the file, adding
//   up to the header's total, ending it); a sector then reads as the last run in the file
//   that holds it left it, any other sector as zeros;
// - a file the restore refuses leaves the disk unwritten and fails with the documented
//   code (11 damaged or foreign, 12 version or sector size, 7 too large for the drive);
// - a failed transfer ends the restore with 4 (disk access), a refused dismount with its
//   own code; a restore that reports success wrote every run's sectors as the file holds
//   them and no other sector, and dismounted and mounted the drive once.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), verify (bit 3), too large allowed (bit 4), dismount
//            refused (bit 5), transfers failing from the k-th on (bits 6-7: none, writes,
//            reads, reads); 0xFF takes the rest of the input as the file, restored
//            verified onto 256 sectors of 512 bytes
//   disk size, k, the file (ImageFileInput::build)
// The corpus test (tests/ImageCorpusTest.cpp) runs the same body over the target's seeds,
// through judgeImageInput.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/ImageFormat.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr u64 IMAGE_FILE_LIMIT = 256u << 10;  // bytes of an image file at most: a run of two chunks
constexpr u64 IMAGE_DISK_LIMIT = 4u << 20;    // bytes of the disk at most (sparse: costs what is written)

// The bytes of an image file; past its end every byte reads as zero.
struct FileBytes : std::vector<u8> {
  u8 byteAt(u64 offset) const { return offset < size() ? (*this)[offset] : 0; }
  void put(u64 offset, u64 v, u32 width) {
    if (size() < offset + width) resize(offset + width);
    for (u32 b = 0; b < width; ++b) (*this)[offset + b] = static_cast<u8>(v >> (8 * b));
  }
};

struct ImageFileInput {
  u8 options = 0;
  u32 sectorSize = 512;  // of the disk restored onto
  u32 sectors = 256;     // of that disk
  u32 k = 0;             // which transfer fails
  FileBytes file;

  static ImageFileInput read(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    ImageFileInput input;
    input.options = in.byte();
    if (input.options == 0xFF) {  // the rest of the input is the file as it stands
      std::size_t n = 0;
      const uint8_t* rest = in.rest(n);
      input.file.assign(rest, rest + std::min<u64>(n, IMAGE_FILE_LIMIT));
      return input;
    }
    input.sectorSize = SECTOR_SIZES[input.options & 7];
    input.sectors = 1 + in.u16le() % static_cast<u32>(IMAGE_DISK_LIMIT / input.sectorSize);
    input.k = in.byte();
    input.build(in);
    return input;
  }

  // Runs where the input places them (after the last, anywhere, at the disk's end), of
  // a few sectors, about a chunk, none or any count; the header that describes them;
  // padding before the first record, the end cut or extended, a few bytes broken.
  void build(FuzzInput& in) {
    const u32 ss = sectorSize;
    file.assign(image::HEADER_SIZE, 0);
    if (in.byte() % 4 == 3) file.resize(file.size() + 1 + in.byte() % 64, 0xC3);  // before the first record
    const u64 firstRunOffset = file.size();
    const u32 runCount = in.below(9);
    u64 next = 0, total = 0, highest = 0, firstUsed = 0;
    for (u32 i = 0; i < runCount; ++i) {
      const u8 placement = in.byte(), length = in.byte();
      u64 first = placement % 4 == 0 ? next + placement / 4 % 4 : sectors - std::min<u32>(sectors, placement / 4 % 8);
      if (placement % 4 == 1) first = in.u32le();
      if (placement % 4 == 2) first = in.u16le() % (u64(sectors) + 8);
      u64 count = length % 4 == 0 ? 1 + length / 4 % 8 : image::CHUNK_SECTORS - 4 + length / 4 % 16;
      if (length % 4 == 2) count = 0;
      if (length % 4 == 3) count = in.u16le();
      count = std::min<u64>(count, (IMAGE_FILE_LIMIT - std::min(IMAGE_FILE_LIMIT, file.size() + 8)) / ss);
      file.put(file.size(), first, 4);
      file.put(file.size(), count, 4);
      for (u64 j = 0; j < count * ss; ++j) file.push_back(static_cast<u8>(i * 37 + 1 + j * 131 + (j >> 8)));
      firstUsed = i == 0 ? first : firstUsed;
      highest = count ? std::max(highest, first + count - 1) : highest;
      next = first + count;
      total += count;
    }
    const u8 volume = in.byte();  // the highest volume sector: of the runs, further, any, past any capacity
    u64 highestVolume = highest;
    if (volume % 4 == 1) highestVolume += in.below(sectors + 1);
    if (volume % 4 == 2) highestVolume = in.u32le();
    if (volume % 4 == 3) highestVolume = ~u64(0) - volume / 4;
    file.put(0, runCount, 4);
    file.put(4, image::MAJOR_VERSION, 2);
    file.put(6, image::MINOR_VERSION, 2);
    file.put(8, total, 8);
    file.put(16, ss, 4);
    file.put(20, firstUsed, 8);
    file.put(28, highestVolume, 8);
    file.put(36, firstRunOffset, 4);
    std::copy(image::SIGNATURE, image::SIGNATURE + image::SIGNATURE_SIZE, file.begin() + image::SIGNATURE_OFFSET);
    const u8 end = in.byte();
    if (end % 4 == 1) file.resize(file.size() + 1 + end / 4);  // zeros after the last record
    if (end % 4 == 2) file.resize(file.size() - std::min<u64>(file.size(), 1 + end / 4));
    if (end % 4 == 3) file.resize(in.u32le() % (file.size() + 1));
    for (u32 n = file.empty() ? 0 : in.below(4); n > 0; --n) file[in.below(file.size())] = in.byte();
  }
};

// The file as its bytes lay it out: a header with the signature and major version, and
// runs (first sector, sector count, offset of the data) that are sound when every record
// lies inside the file, they add up to the header's total and the last one ends the file.
struct Parsed {
  bool header = false;
  bool sound = false;
  u64 ss = 0;
  std::vector<std::array<u64, 3>> runs;
};

FUZZ_UNTRACKED u64 le(const FileBytes& file, u64 offset, u32 width) {
  u64 v = 0;
  for (u32 b = width; b > 0; --b) v = v << 8 | file.byteAt(offset + b - 1);
  return v;
}

FUZZ_UNTRACKED Parsed parse(const FileBytes& file) {
  Parsed p;
  const u64 size = file.size();
  if (size < image::HEADER_SIZE || le(file, 4, 2) != image::MAJOR_VERSION) return p;
  if (std::memcmp(file.data() + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE) != 0) return p;
  p.header = true;
  p.ss = le(file, 16, 4);
  u64 offset = le(file, 36, 4), sum = 0;
  if (p.ss == 0 || offset < image::HEADER_SIZE || offset > size) return p;
  for (u64 i = le(file, 0, 4); i > 0; --i) {
    if (size - offset < image::RUN_HEADER_SIZE) return p;
    const u64 first = le(file, offset, 4), count = le(file, offset + 4, 4);
    offset += image::RUN_HEADER_SIZE;
    if (size - offset < count * p.ss || (count > 0 && first + count - 1 > 0xFFFFFFFFull)) return p;
    p.runs.push_back({first, count, offset});
    offset += count * p.ss;
    sum += count;
  }
  p.sound = sum == le(file, 8, 8) && offset == size;
  return p;
}

// Whether `got` holds sector `s` as the last run over it left it (zeros outside the
// runs); `inRun` tells whether a run holds it.
FUZZ_UNTRACKED bool holds(const Parsed& p, const FileBytes& file, u64 s, const u8* got, bool* inRun = nullptr) {
  std::vector<u8> want(p.ss, 0);
  for (auto r = p.runs.rbegin(); r != p.runs.rend(); ++r) {
    if (s < (*r)[0] || s - (*r)[0] >= (*r)[1]) continue;
    std::copy_n(file.begin() + (*r)[2] + (s - (*r)[0]) * p.ss, p.ss, want.begin());
    if (inRun) *inRun = true;
    break;
  }
  return std::memcmp(got, want.data(), p.ss) == 0;
}

// Opens the file as an ImageDisk and reads the first and last sectors and the edges of
// the runs, in requests that straddle them.
FUZZ_UNTRACKED void checkImageDisk(const std::string& path, const FileBytes& file, const Parsed& p) {
  std::unique_ptr<ImageDisk> disk;
  try {
    disk = std::make_unique<ImageDisk>(path);
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_FILE_ACCESS || code == ERR_INVALID_IMAGE_FILE || code == ERR_INCOMPATIBLE_IMAGE);
  }
  FUZZ_CHECK((disk != nullptr) == p.sound);
  if (!disk) return;
  FUZZ_CHECK(disk->getSectorSize() == p.ss);
  if (p.ss > 65536) return;  // a header may claim any sector size; such sectors are not read here
  // Two-sector requests across the first and last sector of each run and of the disk.
  const u64 n = disk->getSizeSectors();
  std::vector<u64> starts{0, n - std::min<u64>(n, 2)};
  for (std::size_t r = 0; r < p.runs.size() && r < 64; ++r) {
    starts.push_back(p.runs[r][0] - std::min<u64>(p.runs[r][0], 1));
    starts.push_back(p.runs[r][0] + p.runs[r][1] - std::min<u64>(p.runs[r][0] + p.runs[r][1], 1));
  }
  std::vector<u8> got(2 * p.ss);
  for (const u64 first : starts) {
    const u32 count = static_cast<u32>(std::min<u64>(2, n - std::min(n, first)));
    FUZZ_CHECK(count == 0 || disk->readSectors(static_cast<u32>(first), got.data(), count));
    for (u32 k = 0; k < count; ++k) FUZZ_CHECK(holds(p, file, first + k, got.data() + k * p.ss));
  }
  // A request past the end fails, as on a drive.
  if (n < 0xFFFFFFFFull) FUZZ_CHECK(!disk->readSectors(static_cast<u32>(n), got.data(), 1));
}

}  // namespace

// Judges one input as the list above says (a broken promise stops the process); true when
// the file's records are sound, so that the image was taken.
bool judgeImageInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  // A file name of this process, in memory where the system offers it.
  static const std::string path = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/vantor-fuzz-image-" + std::to_string(::getpid()) + ".img";
  const ImageFileInput input = ImageFileInput::read(data, size);
  const u8 options = input.options == 0xFF ? 0x08 : input.options;
  const bool allowTooLarge = options & 0x10;
  const FileBytes& file = input.file;
  std::FILE* f = std::fopen(path.c_str(), "wb");  // the file's bytes at `path`
  FUZZ_CHECK(f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size() && std::fclose(f) == 0);

  auto disk = std::make_shared<FakeDisk>(input.sectorSize, input.sectors);
  disk->dismountResult = !(options & 0x20);
  bool failed = false;  // from the k-th transfer of the kind on
  u32 seen = 0;
  disk->gate = [&](Op op, u32, u32) {
    failed = failed || ((op == Op::Write) == (options >> 6 == 1) && options >> 6 != 0 && ++seen == input.k + 1);
    return !failed;
  };

  const Parsed p = parse(file);
  const unsigned __int128 required = (static_cast<unsigned __int128>(le(file, 28, 8)) + 1) * p.ss;
  const u64 capacity = required > ~u64(0) ? ~u64(0) : static_cast<u64>(required);
  DISK_IMAGE_INFO info{};
  FUZZ_CHECK(DiskImager::getImageInfo(path, info) == p.header);
  FUZZ_CHECK(!p.header || (info.requiredCapacity == capacity && info.sectorSize == p.ss));
  checkImageDisk(path, file, p);

  // The check startWritingImage makes, then the restore, on the calling thread with an
  // engine of its own: the body DiskImager hands to its worker thread (a thread per
  // execution costs more than the rest of it together).
  VantorErrorCodes code = ERR_NONE;
  try {
    DiskDevice device("fuzz", disk);
    DiskImager imager(device);
    imager.setVolumeTooLargeBehavior(allowTooLarge ? DiskImager::ALLOW_VOLUME_TOO_LARGE
                                                   : DiskImager::FAIL_ON_VOLUME_TOO_LARGE);
    bool compatible = true;
    imager.checkImageCompatibility(path, compatible, true);
    ImagingThreadData job;
    job.verify = options & 0x08;
    job.engine = std::make_shared<DiskImagerImp>(device);
    job.engine->state = DiskImagerImp::IMAGER_RUNNING;
    writeImageFileToDisk(nullptr, job.engine, job.engine->device.rawDisk(), vrk::String(path), job);
  } catch (const VantorException& x) {
    code = x.getErrorCode();
  }
  std::remove(path.c_str());

  // What the file calls for: refused before the disk is touched, refused for its records
  // or a drive too small for them, refused dismount, failed transfer, or a whole restore.
  const bool early = !p.header || p.ss != input.sectorSize || (disk->getSizeBytes() < capacity && !allowTooLarge);
  const bool pastDisk =
      std::any_of(p.runs.begin(), p.runs.end(), [&](const auto& r) { return r[1] > 0 && r[0] + r[1] > input.sectors; });
  const VantorErrorCodes expected = !p.header ? ERR_INVALID_IMAGE_FILE
                                    : p.ss != input.sectorSize ? ERR_INCOMPATIBLE_IMAGE
                                    : early || (p.sound && pastDisk) ? ERR_VOLUME_TOO_LARGE
                                    : !p.sound ? ERR_INVALID_IMAGE_FILE
                                    : !disk->dismountResult ? ERR_DISMOUNT_FAILED
                                    : failed ? ERR_DISK_ACCESS : ERR_NONE;
  FUZZ_CHECK(code == expected && !disk->requestPastEnd);
  FUZZ_CHECK(code == ERR_NONE || failed || disk->count(Op::Write) == 0);
  FUZZ_CHECK(!early || disk->count(Op::Dismount) == 0);
  if (code != ERR_NONE) return p.sound;
  // Every sector written lies in a run and holds its data; every run's sector was written.
  for (const auto& stored : disk->sectors()) {
    bool inRun = false;
    FUZZ_CHECK(holds(p, file, stored.first, stored.second.data(), &inRun) && inRun);
  }
  for (const auto& r : p.runs) {
    for (u64 s = r[0]; s < r[0] + r[1]; ++s) FUZZ_CHECK(disk->sector(s) != nullptr);
  }
  FUZZ_CHECK(disk->count(Op::Dismount) == 1 && disk->count(Op::Mount) == 1);
  return p.sound;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)judgeImageInput(data, size);
  return 0;
}

// Image files built from the fuzzer's choices (a 90-byte header, run records with their
// sectors, padding before the first record, bytes cut off or added at the end, a few
// fields broken on purpose), read with getImageInfo and checkImageCompatibility, opened
// as an ImageDisk and read through it, and restored onto a disk in memory, verified or
// not, with failures and aborts injected now and then. Whatever the bytes, nothing may
// read past the file or crash, and the outcome must be the one the file calls for,
// worked out here from its bytes:
// - ImageDisk takes exactly the files whose records are sound in the header's own sector
//   size; each of its sectors then reads as the last run in the file that holds it left
//   it, every other sector as zeros;
// - a file the readers refuse, or a damaged one, leaves the disk untouched and fails
//   with the documented code (11 damaged or foreign, 12 version or sector size,
//   7 too large for the drive);
// - a sound file, with nothing injected, is restored: every run's sectors as in the file
//   (a later run over an earlier one wins), no other sector written, the drive
//   dismounted and mounted once, the completion callback called once.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: sector size (bits 0-2), verify (bit 3), too large allowed (bit 4),
//            completion callback (bit 5); 0xFF takes the rest of the input as the file
//   mode:    injected failure (bits 0-1: a write, a read, changed data on a read),
//            dismount refused (bit 2), abort (bit 3), callback throws (bit 4),
//            whole-drive restore (bit 5), through DiskImager and its thread (bits 6-7)
//   disk size, run count, runs (placement, length, data), header choices, padding,
//   end of file, corruptions (Layout::corrupt)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "ImageFileInput.h"
#include "Imaging.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::fuzz::Layout;
using vantor::test::FakeDisk;
using Op = vantor::test::FakeDisk::Op;

namespace {

constexpr u32 HEADER = image::HEADER_SIZE;

// Turns the data of a read into something else: the verification must notice.
class ChangingFilter final : public IDiskDataFilter {
 public:
  ChangingFilter(u32 sector, u32 sectorSize) : sector_(sector), sectorSize_(sectorSize) {}
  ChangingFilter* clone() const override { return new ChangingFilter(*this); }
  bool filterReadData(u32 first, void* buffer, u32 count) const override {
    if (sector_ >= first && sector_ - first < count) static_cast<u8*>(buffer)[u64(sector_ - first) * sectorSize_] ^= 0x5A;
    return true;
  }

 private:
  u32 sector_;
  u32 sectorSize_;
};

// What the file's bytes call for, worked out without the library.
struct Expected {
  bool info = false;           // getImageInfo accepts the header
  VantorErrorCodes start = ERR_NONE;  // what the compatibility check throws
  bool mismatch = false;       // sector sizes differ
  bool tooSmall = false;       // the drive is below the required capacity
  VantorErrorCodes body = ERR_NONE;   // what the restore itself ends with, nothing injected
  std::map<u64, u64> sectors;  // disk sector -> offset of its data in the file
  DISK_IMAGE_INFO infoFields{};
};

FUZZ_UNTRACKED u64 le(const Layout& file, u64 offset, u32 width) {
  u64 v = 0;
  for (u32 b = 0; b < width; ++b) v |= u64(file.byteAt(offset + b)) << (8 * b);
  return v;
}

FUZZ_UNTRACKED Expected expect(const Layout& file, const FakeDisk& disk, bool allowTooLarge, bool wholeDrive) {
  Expected e;
  const u64 size = file.size();
  if (size < HEADER) {
    e.start = ERR_INVALID_IMAGE_FILE;
    return e;
  }
  for (u32 i = 0; i < image::SIGNATURE_SIZE; ++i) {
    if (file.byteAt(image::SIGNATURE_OFFSET + i) != u8(image::SIGNATURE[i])) e.start = ERR_INVALID_IMAGE_FILE;
  }
  if (e.start == ERR_NONE && le(file, 4, 2) != image::MAJOR_VERSION) e.start = ERR_INVALID_IMAGE_FILE;
  if (e.start != ERR_NONE) return e;
  e.info = true;
  const u32 runCount = static_cast<u32>(le(file, 0, 4));
  const u64 total = le(file, 8, 8);
  const u32 sectorSize = static_cast<u32>(le(file, 16, 4));
  const u64 highestVolume = le(file, 28, 8);
  const u64 firstRun = le(file, 36, 4);
  e.infoFields.sectorSize = sectorSize;
  e.infoFields.majorVersion = static_cast<u16>(le(file, 4, 2));
  e.infoFields.minorVersion = static_cast<u16>(le(file, 6, 2));
  const unsigned __int128 required = (static_cast<unsigned __int128>(highestVolume) + 1) * sectorSize;
  e.infoFields.requiredCapacity = required > ~u64(0) ? ~u64(0) : static_cast<u64>(required);

  const u32 ss = disk.getSectorSize();
  e.mismatch = sectorSize != ss;
  e.tooSmall = disk.getSizeBytes() < e.infoFields.requiredCapacity;
  if (e.mismatch) e.start = ERR_INCOMPATIBLE_IMAGE;
  else if (e.tooSmall && !allowTooLarge) e.start = ERR_VOLUME_TOO_LARGE;
  if (e.start != ERR_NONE) return e;

  if (wholeDrive) {
    e.body = ERR_GENERAL;
    return e;
  }
  // The records must lie inside the file, add up and end it; no run may pass the drive.
  e.body = ERR_INVALID_IMAGE_FILE;
  if (firstRun < HEADER || firstRun > size) return e;
  u64 offset = firstRun, sum = 0, highest = 0;
  std::map<u64, u64> sectors;
  for (u32 i = 0; i < runCount; ++i) {
    if (size - offset < image::RUN_HEADER_SIZE) return e;
    const u64 first = le(file, offset, 4), count = le(file, offset + 4, 4);
    offset += image::RUN_HEADER_SIZE;
    if (size - offset < count * ss) return e;
    if (count > 0 && first + count - 1 > 0xFFFFFFFFull) return e;
    if (count > 0) highest = std::max(highest, first + count - 1);
    if (first + count <= disk.getSizeSectors()) {
      for (u64 s = 0; s < count; ++s) sectors[first + s] = offset + s * ss;
    }
    offset += count * ss;
    sum += count;
  }
  if (sum != total || offset != size) return e;
  e.body = runCount > 0 && highest >= disk.getSizeSectors() ? ERR_VOLUME_TOO_LARGE : ERR_NONE;
  if (e.body == ERR_NONE) e.sectors.swap(sectors);
  return e;
}

// What an ImageDisk over the file must be: whether it opens, and where each sector it
// holds lies in the file (in the header's sector size, later runs over earlier ones).
struct ImageDiskModel {
  bool opens = false;
  u32 sectorSize = 0;
  std::vector<std::pair<u64, u64>> runs;  // first sector, sector count; in file order
  bool modelled = false;                  // sectors is filled (not for many sectors)
  std::map<u64, u64> sectors;             // sector -> offset of its data
};

FUZZ_UNTRACKED ImageDiskModel modelImageDisk(const Layout& file) {
  ImageDiskModel m;
  const u64 size = file.size();
  if (size < HEADER || le(file, 4, 2) != image::MAJOR_VERSION) return m;
  for (u32 i = 0; i < image::SIGNATURE_SIZE; ++i) {
    if (file.byteAt(image::SIGNATURE_OFFSET + i) != u8(image::SIGNATURE[i])) return m;
  }
  const u32 runCount = static_cast<u32>(le(file, 0, 4));
  const u64 ss = le(file, 16, 4);
  u64 offset = le(file, 36, 4), sum = 0;
  if (ss == 0 || offset < HEADER || offset > size) return m;
  std::vector<std::pair<u64, u64>> runs;
  std::vector<u64> dataOffsets;
  for (u32 i = 0; i < runCount; ++i) {
    if (size - offset < image::RUN_HEADER_SIZE) return m;
    const u64 first = le(file, offset, 4), count = le(file, offset + 4, 4);
    offset += image::RUN_HEADER_SIZE;
    if (size - offset < count * ss || (count > 0 && first + count - 1 > 0xFFFFFFFFull)) return m;
    runs.emplace_back(first, count);
    dataOffsets.push_back(offset);
    offset += count * ss;
    sum += count;
  }
  if (sum != le(file, 8, 8) || offset != size) return m;
  m.opens = true;
  m.sectorSize = static_cast<u32>(ss);
  m.modelled = sum <= 4096;
  if (m.modelled) {
    for (std::size_t r = 0; r < runs.size(); ++r) {
      for (u64 k = 0; k < runs[r].second; ++k) m.sectors[runs[r].first + k] = dataOffsets[r] + k * ss;
    }
  }
  m.runs.swap(runs);
  return m;
}

// Opens the file as an ImageDisk and reads it: the whole disk when it is small, else its
// first and last sectors and the edges of its runs, in requests that straddle them.
FUZZ_UNTRACKED void checkImageDisk(const std::string& path, const Layout& file, const ImageDiskModel& m) {
  std::unique_ptr<ImageDisk> disk;
  try {
    disk = std::make_unique<ImageDisk>(path);
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_FILE_ACCESS || code == ERR_INVALID_IMAGE_FILE || code == ERR_INCOMPATIBLE_IMAGE);
  }
  FUZZ_CHECK((disk != nullptr) == m.opens);
  if (!disk) return;
  const u64 ss = disk->getSectorSize();
  FUZZ_CHECK(ss == m.sectorSize);
  if (ss > 65536) return;  // a header may claim any sector size; a buffer of such sectors is not read here
  const u64 n = disk->getSizeSectors();
  const u64 maxCount = std::max<u64>(1, std::min<u64>(64, (256u << 10) / ss));
  std::set<std::pair<u64, u64>> spans;  // first sector, count
  const auto add = [&](u64 from, u64 to) {  // [from, to) cut to the disk
    to = std::min(to, n);
    for (; from < to; from += maxCount) spans.emplace(from, std::min(maxCount, to - from));
  };
  if (n * ss <= (256u << 10)) {
    add(0, n);
  } else {
    add(0, 8);
    add(n - 8, n);
    for (std::size_t r = 0; r < m.runs.size() && r < 64; ++r) {
      const u64 first = m.runs[r].first, end = first + m.runs[r].second;
      add(first - std::min<u64>(first, 3), first + 3);
      add(end - std::min<u64>(end, 3), end + 3);
    }
  }
  std::vector<u8> got, want(ss), zeros(ss, 0);
  for (const auto& span : spans) {
    got.assign(span.second * ss, 0xEE);
    FUZZ_CHECK(disk->readSectors(static_cast<u32>(span.first), got.data(), static_cast<u32>(span.second)));
    if (!m.modelled) continue;  // too many sectors to model: reading is the check
    for (u64 k = 0; k < span.second; ++k) {
      const auto at = m.sectors.find(span.first + k);
      if (at == m.sectors.end()) {
        FUZZ_CHECK(std::memcmp(got.data() + k * ss, zeros.data(), ss) == 0);
      } else {
        file.read(at->second, ss, want.data());
        FUZZ_CHECK(std::memcmp(got.data() + k * ss, want.data(), ss) == 0);
      }
    }
  }
  // A request past the end fails, as on a drive.
  if (n < 0xFFFFFFFFull && n == disk->getSizeBytes() / ss) {
    FUZZ_CHECK(!disk->readSectors(static_cast<u32>(n), got.data(), 1));
  }
}

// The disk holds exactly the runs' sectors.
FUZZ_UNTRACKED void checkRestored(const Layout& file, const FakeDisk& disk, const Expected& e) {
  const u32 ss = disk.getSectorSize();
  std::vector<u8> want(ss);
  FUZZ_CHECK(disk.sectors().size() == e.sectors.size());
  for (const auto& s : e.sectors) {
    const u8* got = disk.sector(s.first);
    FUZZ_CHECK(got != nullptr);
    file.read(s.second, ss, want.data());
    FUZZ_CHECK(std::memcmp(got, want.data(), ss) == 0);
  }
}

FUZZ_UNTRACKED void checkInfo(bool ok, const DISK_IMAGE_INFO& info, const Expected& e) {
  FUZZ_CHECK(ok == e.info);
  if (!ok) return;
  FUZZ_CHECK(info.requiredCapacity == e.infoFields.requiredCapacity);
  FUZZ_CHECK(info.sectorSize == e.infoFields.sectorSize);
  FUZZ_CHECK(info.majorVersion == e.infoFields.majorVersion);
  FUZZ_CHECK(info.minorVersion == e.infoFields.minorVersion);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  static const std::string path = fuzz::scratchPath("image");
  const fuzz::ImageFileInput input = fuzz::ImageFileInput::read(data, size);
  const u8 options = input.options;
  const u8 mode = input.mode;
  const bool raw = input.raw();
  const u32 ss = input.sectorSize;
  const bool verify = raw || (options & 0x08);
  const bool allowTooLarge = options & 0x10;
  const bool callback = options & 0x20;
  const bool refuseDismount = mode & 0x04;
  const bool abort = mode & 0x08;
  const bool callbackThrows = mode & 0x10;
  const bool wholeDrive = mode & 0x20;
  const bool facade = (mode & 0xC0) == 0xC0;
  const u32 sectors = input.sectors;
  const u32 k = input.k;
  const Layout& file = input.file;
  input.write(path);

  auto disk = std::make_shared<FakeDisk>(ss, sectors);
  disk->dismountResult = !refuseDismount;
  bool injected = refuseDismount || abort;
  if (mode & 0x03) {
    injected = true;
    u32 seen = 0;
    const bool failWrite = (mode & 0x03) == 1;
    if ((mode & 0x03) == 3) {
      disk->setDataFilter(new ChangingFilter(k, ss));
    } else {
      disk->gate = [=](Op op, u32, u32) mutable { return (op == Op::Write) != failWrite || ++seen != k + 1; };
    }
  }
  const Expected e = expect(file, *disk, allowTooLarge, wholeDrive);

  DISK_IMAGE_INFO info{};
  checkInfo(DiskImager::getImageInfo(path, info), info, e);
  checkImageDisk(path, file, modelImageDisk(file));

  u32 callbacks = 0;
  std::function<void(std::shared_ptr<IDisk>)> onWritten;
  if (callback) {
    onWritten = [&callbacks, callbackThrows, disk](std::shared_ptr<IDisk> written) {
      FUZZ_CHECK(written.get() == disk.get());
      ++callbacks;
      if (callbackThrows) throw VantorException(ERR_INVALID_ARGUMENT, "refused by the caller");
    };
  }

  DiskDevice device("fuzz", disk);
  DiskImager imager(device);
  imager.setVolumeTooLargeBehavior(allowTooLarge ? DiskImager::ALLOW_VOLUME_TOO_LARGE
                                                 : DiskImager::FAIL_ON_VOLUME_TOO_LARGE);
  // The check as a caller makes it without exceptions: only a drive too small for the
  // image, with that refused, still throws.
  {
    bool compatible = true;
    bool answered = false;
    VantorErrorCodes thrown = ERR_NONE;
    try {
      answered = imager.checkImageCompatibility(path, compatible, false);
    } catch (const VantorException& x) {
      thrown = x.getErrorCode();
    }
    const bool refusedTooLarge = e.info && e.tooSmall && !allowTooLarge;
    FUZZ_CHECK(thrown == (refusedTooLarge ? ERR_VOLUME_TOO_LARGE : ERR_NONE));
    if (!refusedTooLarge) FUZZ_CHECK(answered == e.info);
    FUZZ_CHECK(compatible == !(e.info && (e.mismatch || refusedTooLarge)));
  }

  VantorErrorCodes result = ERR_NONE;
  if (facade) {
    try {
      FUZZ_CHECK(imager.startWritingImage(path, true, wholeDrive, verify, onWritten));
      vrk::String message;
      imager.errorEncountered(result, message);
      FUZZ_CHECK(imager.done());
    } catch (const VantorException& x) {
      FUZZ_CHECK(e.start != ERR_NONE);
      FUZZ_CHECK(x.getErrorCode() == e.start);
      FUZZ_CHECK(disk->count(Op::Write) == 0 && disk->count(Op::Dismount) == 0);
      return 0;
    }
    FUZZ_CHECK(e.start == ERR_NONE);
  } else {
    VantorErrorCodes thrown = ERR_NONE;
    try {
      bool compatible = true;
      imager.checkImageCompatibility(path, compatible, true);  // as startWritingImage does
    } catch (const VantorException& x) {
      thrown = x.getErrorCode();
    }
    FUZZ_CHECK(thrown == e.start);
    if (thrown != ERR_NONE) return 0;
    fuzz::DirectImaging direct(disk);
    if (abort) direct.abortAfter(k % 8 + 1);
    result = direct.restore(path, verify, wholeDrive, onWritten);
  }
  std::remove(path.c_str());

  // What the file calls for when nothing is injected; with an injected failure, only
  // that a reported success is a whole restore.
  FUZZ_CHECK(!disk->requestPastEnd);
  if (e.body != ERR_NONE) {
    FUZZ_CHECK(result == e.body);
    FUZZ_CHECK(disk->count(Op::Write) == 0);
    FUZZ_CHECK(callbacks == 0);
    return 0;
  }
  if (refuseDismount) {
    FUZZ_CHECK(result == ERR_DISMOUNT_FAILED);
    FUZZ_CHECK(disk->count(Op::Write) == 0 && disk->count(Op::Mount) == 0);
    return 0;
  }
  if (!injected) FUZZ_CHECK(result == (callback && callbackThrows ? ERR_INVALID_ARGUMENT : ERR_NONE));
  if (result == ERR_NONE || (callback && callbackThrows && result == ERR_INVALID_ARGUMENT && callbacks == 1)) {
    checkRestored(file, *disk, e);
    FUZZ_CHECK(callbacks == (callback ? 1u : 0u));
    FUZZ_CHECK(disk->count(Op::Dismount) == 1 && disk->count(Op::Mount) == 1);
  }
  return 0;
}

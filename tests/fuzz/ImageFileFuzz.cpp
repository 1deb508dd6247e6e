// Image files built from the fuzzer's choices (a 90-byte header, run records with their
// sectors, padding before the first record, bytes cut off or added at the end, a few
// fields broken on purpose), read with getImageInfo and checkImageCompatibility and
// restored onto a disk in memory, verified or not, with failures and aborts injected
// now and then. Whatever the bytes, nothing may read past the file or crash, and the
// outcome must be the one the file calls for, worked out here from its bytes:
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
#include <string>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Log.h>

#include "FuzzInput.h"
#include "Imaging.h"
#include "support/FakeDisk.h"

using namespace vantor;
using vantor::fuzz::FuzzInput;
using vantor::fuzz::Layout;
using vantor::test::FakeDisk;
using Op = vantor::test::FakeDisk::Op;

namespace {

constexpr u64 FILE_LIMIT = 256u << 10;  // bytes of an image file at most: a run of two chunks
constexpr u64 DISK_LIMIT = 4u << 20;   // bytes of the disk at most (sparse: costs what is written)
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

void writeFile(const std::string& path, const Layout& file) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fuzz::fail("cannot write the image file");
  std::vector<u8> block(64 * 1024);
  for (u64 offset = 0; offset < file.size(); offset += block.size()) {
    const u64 n = std::min<u64>(block.size(), file.size() - offset);
    file.read(offset, n, block.data());
    if (std::fwrite(block.data(), 1, n, f) != n) fuzz::fail("cannot write the image file");
  }
  if (std::fclose(f) != 0) fuzz::fail("cannot write the image file");
}

// Lays out an image file from the input, then breaks what the input asks for.
void buildImage(FuzzInput& in, Layout& file, u32 ss, u32 sectors) {
  const u32 runCount = in.below(9);
  u64 offset = HEADER;
  const u8 padding = in.byte();
  if (padding % 4 == 3) {  // bytes between the header and the first record
    file.fill(offset, 1 + padding / 4, 0xC3);
    offset += 1 + padding / 4;
  }
  const u64 firstRunOffset = offset;
  u64 next = 0, total = 0, highest = 0, firstUsed = 0;
  for (u32 i = 0; i < runCount; ++i) {
    const u8 placement = in.byte();
    const u8 length = in.byte();
    u64 first;
    switch (placement % 4) {
      case 0: first = next + placement / 4 % 4; break;  // ascending, as capture writes them
      case 1: first = in.u16le() % (u64(sectors) + 8); break;
      case 2: first = in.u32le(); break;
      default: first = sectors - std::min<u32>(sectors, placement / 4 % 8); break;  // at the end
    }
    u64 count;
    switch (length % 4) {
      case 0: count = 1 + length / 4 % 8; break;
      case 1: count = image::CHUNK_SECTORS - 4 + length / 4 % 16; break;  // around a chunk
      case 2: count = 0; break;
      default: count = in.u16le(); break;
    }
    const u64 room = offset + image::RUN_HEADER_SIZE < FILE_LIMIT ? FILE_LIMIT - offset - image::RUN_HEADER_SIZE : 0;
    if (count > room / ss) count %= room / ss + 1;  // the file stays below its limit
    first = std::min<u64>(first, 0xFFFFFFFF);
    file.put32(offset, static_cast<u32>(first));
    file.put32(offset + 4, static_cast<u32>(count));
    offset += image::RUN_HEADER_SIZE;
    file.fill(offset, count * ss, static_cast<u8>(i * 37 + 1));
    offset += count * ss;
    if (i == 0) firstUsed = first;
    if (count) highest = std::max(highest, first + count - 1);
    next = first + count;
    total += count;
  }
  u64 highestVolume = highest;
  const u8 volume = in.byte();
  switch (volume % 4) {
    case 0: break;
    case 1: highestVolume += in.below(sectors + 1); break;
    case 2: highestVolume = in.u32le(); break;
    default: highestVolume = ~u64(0) - volume / 4; break;
  }
  file.put32(0, runCount);
  file.put16(4, image::MAJOR_VERSION);
  file.put16(6, image::MINOR_VERSION);
  file.put64(8, total);
  file.put32(16, ss);
  file.put64(20, firstUsed);
  file.put64(28, highestVolume);
  file.put32(36, static_cast<u32>(firstRunOffset));
  file.putText(image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE);
  file.setSize(std::max<u64>(offset, HEADER));

  const u8 end = in.byte();
  switch (end % 4) {
    case 0: break;
    case 1: file.setSize(file.size() + 1 + end / 4); break;  // zeros after the last record
    case 2: file.setSize(file.size() - std::min<u64>(file.size(), 1 + end / 4)); break;
    default: file.setSize(in.u16le() % (file.size() + 1)); break;
  }
  file.corrupt(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFactory::setPriority(5);  // quiet
  static const std::string path = fuzz::scratchPath("image");
  static const u32 SECTOR_SIZES[] = {512, 512, 512, 512, 4096, 1024, 2048, 256};
  FuzzInput in(data, size);
  const u8 options = in.byte();
  const bool raw = options == 0xFF;
  const u8 mode = raw ? 0 : in.byte();
  const u32 ss = raw ? 512 : SECTOR_SIZES[options & 7];
  const bool verify = raw || (options & 0x08);
  const bool allowTooLarge = options & 0x10;
  const bool callback = options & 0x20;
  const bool refuseDismount = mode & 0x04;
  const bool abort = mode & 0x08;
  const bool callbackThrows = mode & 0x10;
  const bool wholeDrive = mode & 0x20;
  const bool facade = (mode & 0xC0) == 0xC0;
  const u32 sectors = raw ? 256 : 1 + in.u16le() % static_cast<u32>(DISK_LIMIT / ss);
  const u32 k = in.byte();  // which transfer fails, which report aborts

  Layout file(FILE_LIMIT, 4096);
  if (raw) {
    std::size_t n = 0;
    const uint8_t* rest = in.rest(n);
    file.copy(0, rest, n);
    file.setSize(std::min<u64>(n, FILE_LIMIT));
  } else {
    buildImage(in, file, ss, sectors);
  }
  writeFile(path, file);

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

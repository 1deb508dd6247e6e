// The used-sector map of one NTFS volume laid out from the fuzzer's bytes: pieces of the
// volume (in the seeds, the boot sector, $Bitmap's MFT record and the bitmap of a volume
// mkntfs made) placed on a sparse disk at a chosen start. The mapper must never crash,
// overflow or read without bound; a failure carries ERR_UNSUPPORTED_FILE_SYSTEM or
// ERR_DISK_ACCESS and names the volume, and a map lies inside the volume, starts with its
// boot sector and counts no more used clusters than the volume has. Whether a map is
// right is NtfsVolumeMapperTest's, against ntfs-3g.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: drive sectors of 4096 bytes (bit 0), the volume's start sector / 8 (bits 1-3),
//            the volume's length (bits 4-5: as the boot sector counts it, one drive sector
//            more, one less, or 2^31 more)
//   pieces, to the end: volume byte offset (u32), length (u16), that many bytes
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <libVantor/LittleEndian.h>
#include <libVantor/internal/NtfsVolumeMapper.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr u64 LAST_SECTOR = 0xFFFFFFFF;
// What one map may read, as a budget a broken boot sector cannot raise: a bitmap that
// claims to be gigabytes long fails its reads instead of taking the run's time.
constexpr u64 READ_BUDGET = 256u << 10;  // bytes: 2 Mi clusters of bitmap

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
  const u8 options = in.byte();
  const u32 ss = options & 1 ? 4096 : 512;
  const u64 start = u64((options >> 1) & 7) * 8;

  FakeDisk staging(ss, 0);
  std::size_t restSize = 0;
  const uint8_t* rest = in.rest(restSize);
  for (std::size_t at = 0; at + 6 <= restSize;) {
    const u64 offset = readLE32(rest + at);
    const std::size_t length = std::min<std::size_t>(readLE16(rest + at + 4), restSize - at - 6);
    staging.put(start * ss + offset, rest + at + 6, length);
    at += 6 + length;
  }

  // The volume's length from what its boot sector counts (TotalSectors + 1 sectors).
  u8 boot[512] = {};
  if (const u8* first = staging.sector(start)) std::memcpy(boot, first, sizeof boot);
  const u64 bps = std::max<u64>(readLE16(boot + 11), 1), total = std::min<u64>(readLE64(boot + 40), u64(1) << 40);
  const u64 counted = ((total + 1) * bps + ss - 1) / ss;
  static const std::int64_t SLACK[] = {0, 1, -1, std::int64_t(1) << 31};
  const u64 sectors = std::max<u64>(1, counted + SLACK[(options >> 4) & 3]);
  FakeDisk disk(ss, static_cast<u32>(std::min(LAST_SECTOR, start + std::min(sectors, LAST_SECTOR) + 16)));
  for (const auto& s : staging.sectors()) disk.put(s.first * ss, s.second);
  u64 budget = READ_BUDGET / ss;
  disk.gate = [&budget](FakeDisk::Op, u32, u32 count) {
    if (count > budget) return false;
    budget -= count;
    return true;
  };

  try {
    const NtfsVolumeMapper mapper(disk, static_cast<u32>(start), sectors);
    FUZZ_CHECK(NtfsVolumeMapper::recognises(boot, sizeof boot));
    u64 used = 0;
    const SectorMap map = mapper.getSectorMap(&used);
    fuzz::checkMap(map, start, std::min(start + sectors, LAST_SECTOR + 1), used, mapper.getClusterCount());
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || code == ERR_DISK_ACCESS);
    FUZZ_CHECK(std::strncmp(x.getMessage().c_str(), "NTFS volume at sector ", 22) == 0);
  }
  return 0;
}

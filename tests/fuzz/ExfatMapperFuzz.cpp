// The used-sector map of one exFAT volume whose bytes come from the fuzzer: the seeds are
// the non-zero bytes of what the mapper reads from small mkfs.exfat volumes (boot sector,
// the start of the FAT, the root directory, the bitmap; exfat_seeds.py makes them). The
// mapper must never crash, overflow, read outside its volume or allocate without bound;
// a failure has ERR_UNSUPPORTED_FILE_SYSTEM or ERR_DISK_ACCESS, and a map lies inside the
// volume (both the partition and the length the boot sector gives), starts with the boot
// sector and counts no more used clusters than the volume has. What a map holds is
// ExfatVolumeMapperTest's, against real volumes.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: disk sectors of 4096 bytes (bit 0), where the volume starts (bits 1-2: drive
//            sector 0, a byte's worth, any 32-bit value, just below 2^32), the partition's
//            length taken from the input (bit 3), a read that fails (bit 4)
//   start:   u32, when bits 1-2 ask for it (or a byte)
//   length:  u32 partition sectors, when bit 3 is set; else the boot sector's length
//   failing: u16, the number of the read that fails, when bit 4 is set
//   records to the end: u32 byte offset into the volume, u16 length, that many bytes
#include <algorithm>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/internal/ExfatVolumeMapper.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr u64 SECTOR_LIMIT = u64(1) << 32;
// The disk answers at most this many bytes per input, as if it then failed: a volume
// claiming a bitmap of hundreds of MiB ends in ERR_DISK_ACCESS instead of a slow run
// (the seeds read less than 32 KiB).
constexpr u64 READ_BUDGET = 256u << 10;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
  const u8 options = in.byte();
  const u32 dss = options & 1 ? 4096 : 512;
  u32 start = 0;
  switch ((options >> 1) & 3) {
    case 1: start = in.byte(); break;
    case 2: start = in.u32le(); break;
    case 3: start = static_cast<u32>(SECTOR_LIMIT - 1 - in.u16le()); break;
  }
  const u64 givenLength = options & 8 ? in.u32le() : 0;
  const u32 failing = options & 16 ? in.u16le() : 0;

  // The records, and the boot sector they make (later records over earlier ones).
  struct Record {
    u64 offset;
    const uint8_t* bytes;
    u32 length;
  };
  std::vector<Record> records;
  u8 boot[512] = {};
  for (;;) {
    const u64 offset = in.u32le();
    u32 length = in.u16le();
    std::size_t left = 0;
    const uint8_t* bytes = in.rest(left);
    if (left == 0) break;
    length = static_cast<u32>(std::min<std::size_t>(length, left));
    records.push_back({offset, bytes, length});
    for (u64 i = offset; i < std::min<u64>(offset + length, sizeof boot); ++i) boot[i] = bytes[i - offset];
    in = FuzzInput(bytes + length, left - length);
  }
  // The partition: as long as the input says, or as the boot sector says (rounded up to
  // whole drive sectors), and never past sector 2^32.
  const u32 shift = boot[108] >= 9 && boot[108] <= 12 ? boot[108] : 0;
  const u64 fsBytes = shift ? std::min<u64>(readLE64(boot + 72), SECTOR_LIMIT) << shift : 0;
  u64 length = options & 8 ? givenLength : (fsBytes + dss - 1) / dss;
  length = std::max<u64>(1, std::min<u64>(length, SECTOR_LIMIT - 1 - start));
  FakeDisk disk(dss, static_cast<u32>(start + length));
  const u64 end = length * dss;  // bytes of the partition
  for (const Record& r : records) {
    if (r.offset < end) disk.put(u64(start) * dss + r.offset, r.bytes, std::min<u64>(r.length, end - r.offset));
  }
  u32 reads = 0;
  u64 budget = READ_BUDGET;
  disk.gate = [&](FakeDisk::Op, u32 first, u32 count) {
    FUZZ_CHECK(first >= start && u64(first) + count <= start + length);  // only the volume is read
    ++reads;
    if (u64(count) * dss > budget || reads == failing) return false;
    budget -= u64(count) * dss;
    return true;
  };

  try {
    const ExfatVolumeMapper mapper(disk, start, length);
    const u8* head = disk.sector(start);
    FUZZ_CHECK(head && ExfatVolumeMapper::recognises(head, dss));
    u64 used = 0;
    const SectorMap map = mapper.getSectorMap(&used);
    fuzz::checkMap(map, start, start + std::min(length, (fsBytes + dss - 1) / dss), used, mapper.getClusterCount());
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || code == ERR_DISK_ACCESS);
  }
  return 0;
}

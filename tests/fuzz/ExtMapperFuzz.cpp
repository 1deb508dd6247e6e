// The used-sector map of one ext2/ext3/ext4 volume whose metadata the fuzzer writes: the
// seeds hold what the mapper reads of small mke2fs volumes (boot area and superblock,
// descriptor blocks, block bitmaps), and the fuzzer changes it byte by byte. The mapper
// must never crash, overflow or read outside the volume; a map it answers lies inside
// the volume and starts with the volume's first sector; a failure is
// ERR_UNSUPPORTED_FILE_SYSTEM, or ERR_DISK_ACCESS when a read was made to fail. What a
// map holds is ExtVolumeMapperTest's, against dumpe2fs.
//
// Input, read front to back (FuzzInput: missing bytes read as 0):
//   options: 4096-byte sectors (bit 0), fail the Nth read (bits 1-3, 0: none)
//   start:   u16, the volume's first drive sector
//   size:    u16, the volume's length in KiB less one, up to 16 MiB
//   records to the end: u32 byte offset in the volume, u16 length, then that many bytes,
//            or, when the length's top bit is set, one byte to repeat (length & 7FFFh) times
#include <algorithm>

#include <libVantor/internal/ExtVolumeMapper.h>

#include "FuzzInput.h"

using namespace vantor;
using namespace vantor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = fuzz::start(data, size);
  const u8 options = in.byte();
  const u32 ss = options & 1 ? 4096 : 512;
  const u32 failRead = (options >> 1) & 7;
  const u32 start = in.u16le();
  const u64 volumeBytes = (u64(in.u16le() % 16384) + 1) * 1024;
  const u64 volumeSectors = (volumeBytes + ss - 1) / ss;
  FakeDisk disk(ss, static_cast<u32>(start + volumeSectors + 8));
  for (;;) {
    const u32 offset = in.u32le();
    const u16 length = in.u16le();
    std::size_t left = 0;
    const uint8_t* bytes = in.rest(left);
    if (left == 0) break;
    const bool fill = length & 0x8000;
    const u32 n = fill ? length & 0x7FFF : static_cast<u32>(std::min<std::size_t>(length, left));
    if (u64(offset) + n <= volumeBytes) {
      fill ? disk.fill(u64(start) * ss + offset, bytes[0], n) : disk.put(u64(start) * ss + offset, bytes, n);
    }
    const std::size_t used = fill ? 1 : n;
    in = FuzzInput(bytes + used, left - used);
  }
  u32 reads = 0;
  disk.gate = [&](FakeDisk::Op, u32, u32) { return ++reads != failRead; };

  try {
    const ExtVolumeMapper mapper(disk, start, volumeSectors);
    u64 used = 0;
    const SectorMap map = mapper.getSectorMap(&used);
    fuzz::checkMap(map, start, start + volumeSectors, used, mapper.getBlockCount());
    FUZZ_CHECK(u64(mapper.getBlockBytes()) * mapper.getBlockCount() <= volumeSectors * ss);
  } catch (const VantorException& x) {
    const VantorErrorCodes code = x.getErrorCode();
    FUZZ_CHECK(code == ERR_UNSUPPORTED_FILE_SYSTEM || (code == ERR_DISK_ACCESS && failRead != 0 && reads >= failRead));
  }
  FUZZ_CHECK(!disk.requestPastEnd);
  return 0;
}

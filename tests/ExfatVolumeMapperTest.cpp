// ExfatVolumeMapper against volumes made by mkfs.exfat and filled through exfat-fuse
// (VolumeKit): the map equals what an independent reader of the bitmap (a few lines of
// Python) finds, and a copy of only the mapped sectors into random bytes is the same
// volume. Damaged copies of a real volume are refused by name.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include <libVantor/LittleEndian.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/ExfatVolumeMapper.h>

#include "support/Imaging.h"
#include "support/TempDir.h"
#include "support/VolumeKit.h"

namespace vantor::test {
namespace {

// Prints the used drive sectors of the exFAT volume at byte `base` of a disk file, as
// merged runs "first count", then "used N": the boot regions, the FATs and each cluster
// set in the active bitmap. Exits 1 when the bitmap, up-case or root clusters are not set.
const char* const ORACLE = R"PY(
import struct, sys
f = open(sys.argv[1], 'rb'); base = int(sys.argv[2]); dss = int(sys.argv[3])
def rd(o, n): f.seek(base + o); return f.read(n)
b = rd(0, 512)
vl, fo, fl, ho, cc, rc = struct.unpack_from('<QIIIII', b, 72)
act = struct.unpack_from('<H', b, 106)[0] & 1; ss = 1 << b[108]; cs = ss << b[109]; nf = b[110]
fat = rd((fo + act * fl) * ss, (cc + 2) * 4)
def chain(c):
    out = []
    while c != 0xFFFFFFFF: out.append(c); c = struct.unpack_from('<I', fat, 4 * c)[0]
    return out
clu = lambda c: ho * ss + (c - 2) * cs
root = b''.join(rd(clu(c), cs) for c in chain(rc))
ents = [root[i:i + 32] for i in range(0, len(root), 32)]
ents = ents[:[e[0] for e in ents].index(0)]
first = lambda t: [e for e in ents if e[0] == t and (t != 0x81 or e[1] & 1 == act)][0]
bm = chain(struct.unpack_from('<I', first(0x81), 20)[0])
bits = b''.join(rd(clu(c), cs) for c in bm)
used = [c for c in range(2, cc + 2) if bits[(c - 2) // 8] >> ((c - 2) % 8) & 1]
if not set(bm + chain(rc) + chain(struct.unpack_from('<I', first(0x82), 20)[0])) <= set(used): sys.exit(1)
runs = []
for o, n in [(0, 24 * ss), (fo * ss, fl * nf * ss)] + [(clu(c), cs) for c in used]:
    s, e = (base + o) // dss, (base + o + n + dss - 1) // dss
    if runs and s <= runs[-1][1]: runs[-1][1] = max(runs[-1][1], e)
    else: runs.append([s, e])
for s, e in runs: print(s, e - s)
print('used', len(used))
)PY";

TEST(ExfatVolumeMapper, MapsWhatTheBitmapHoldsAndACopyOfItIsTheSameVolume) {
  if (const std::string why = VolumeKit::unavailable(); !why.empty()) GTEST_SKIP() << why;
  // {name, mkfs.exfat options, the volume's and the disk's sector size, 512-byte sectors into the disk file}
  const std::tuple<const char*, const char*, u32, u32, u64> cases[] = {
      {"defaults", "", 512, 512, 0},
      {"64 KiB clusters at 1 MiB", "-c 64K", 512, 512, 2048},
      {"4096-byte volume sectors", "", 4096, 512, 6144},
      {"512-byte clusters on a 4096-byte disk", "-c 512", 512, 4096, 2048},
  };
  const u64 sectors = 64u << 11;
  for (const auto& [name, mkfsOptions, volumeSectorSize, diskSectorSize, offset] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    const VolumeKit kit(dir.path());
    const std::string volume = dir.file("volume.img"), disk = dir.file("disk.img");
    kit.make(volume, VolumeKind::Exfat, sectors, 0, mkfsOptions, volumeSectorSize);
    VolumeKit::place(volume, disk, offset);
    WinDiskFile source(disk.c_str(), WinDiskFile::OpenExisting, diskSectorSize, 0);
    const u32 per = diskSectorSize / 512;
    u64 used = 0;
    const SectorMap map = ExfatVolumeMapper(source, u32(offset / per), sectors / per).getSectorMap(&used);
    EXPECT_EQ(describe(map) + "used " + std::to_string(used) + "\n",
              runOrThrow("python3 -c " + shellQuote(ORACLE) + " " + disk + " " + std::to_string(offset * 512) + " " +
                         std::to_string(diskSectorSize)));
    EXPECT_GT(map.size(), 6u) << "the deleted files leave holes between runs";
    EXPECT_EQ(kit.mappedCopyProblems(disk, diskSectorSize, map, offset, sectors, VolumeKind::Exfat), "");
  }
}

// A fresh 64 MiB volume (4 KiB clusters) at sector START of a FakeDisk, and where its
// structures lie.
constexpr u32 START = 2048, SECTORS = 64u << 11;
constexpr u64 B = START * 512ull;  // the boot sector
struct Fresh {
  FakeDisk disk = fakeDiskWith(volume(), START, START + SECTORS + 8);
  static const std::string& volume() {
    static const std::string bytes = [] {
      TempDir dir;
      runOrThrow("truncate -s 64M " + dir.file("v") + " && mkfs.exfat " + dir.file("v"));
      return readFile(dir.file("v"));
    }();
    return bytes;
  }
  u32 boot32(u32 offset) const { return readLE32(disk.read(B + offset, 4).data()); }
  u64 clusterByte(u32 c) const { return B + boot32(88) * 512ull + (u64(c) - 2) * 4096; }
  u64 entryByte(u8 type) const {  // of the first root directory entry of this type
    for (u64 at = clusterByte(boot32(96));; at += 32) {
      if (disk.byteAt(at) == type) return at;
    }
  }
};

TEST(ExfatVolumeMapper, RefusesDamagedVolumesByName) {
  struct Case {
    std::function<void(Fresh&)> damage;
    std::string message;
    u64 partitionSectors = SECTORS;
    VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM;
  };
  const auto put = [](Fresh& f, u64 at, u64 value, u32 width) { putLE(f.disk, at, value, width); };
  const auto fat = [](Fresh& f) { return B + f.boot32(80) * 512ull; };
  const Case cases[] = {
      {[&](Fresh& f) { f.disk.put(B + 3, "NTFS    ", 8); }, "the boot sector's file system name is not \"EXFAT   \""},
      {[&](Fresh& f) { put(f, B + 510, 0, 1); }, "the boot sector's signature is not AA55h"},
      {[&](Fresh& f) { put(f, B + 20, 1, 1); }, "the boot sector's must-be-zero field is not zero"},
      {[&](Fresh& f) { put(f, B + 108, 13, 1); }, "bytes-per-sector shift 13 is outside 9..12"},
      {[&](Fresh& f) { put(f, B + 109, 17, 1); }, "sectors-per-cluster shift 17 makes clusters over 32 MiB"},
      {[&](Fresh&) {}, "its length of 131072 sectors of 512 bytes exceeds the partition", SECTORS - 1},
      {[&](Fresh& f) { put(f, B + 92, f.boot32(92) + 1, 4); }, "cluster count 15873 runs past the volume"},
      {[&](Fresh& f) { put(f, B + 84, 1, 4); }, "cluster count 15872 does not fit its FAT"},
      {[&](Fresh& f) { put(f, B + 88, 100, 4); },
       "the FAT region overlaps the boot regions or the cluster heap, or is empty"},
      {[&](Fresh& f) { put(f, f.entryByte(0x81) + 24, 1ull << 40, 8); }, "allocation bitmap runs past the volume"},
      {[&](Fresh& f) { put(f, f.entryByte(0x81) + 24, 1983, 8); },
       "allocation bitmap of 1983 bytes is too short for 15872 clusters"},
      {[&](Fresh& f) { put(f, f.entryByte(0x81) + 20, 15874, 4); },
       "cluster 00003E02h of the allocation bitmap lies outside the cluster heap"},
      {[&](Fresh& f) { put(f, f.entryByte(0x81), 0x01, 1); }, "no allocation bitmap entry for FAT 1"},
      {[&](Fresh& f) { put(f, fat(f) + 4 * f.boot32(96), f.boot32(96), 4); },
       "the root directory's cluster chain loops (or passes 256 MiB)"},
      {[&](Fresh& f) { put(f, f.entryByte(0x81) + 24, 3 * 4096, 8), put(f, fat(f) + 8, 2, 4); },
       "the allocation bitmap's cluster chain loops (cluster 00000002h twice)"},
      {[&](Fresh& f) { put(f, f.entryByte(0x82) + 20, f.boot32(96), 4), put(f, f.entryByte(0x82) + 24, 4096, 8); },
       "cluster 00000005h belongs to two of the bitmaps, the up-case table and the root directory"},
      {[&](Fresh& f) { f.disk.gate = [](FakeDisk::Op, u32 s, u32) { return s != START + 4096; }; },
       "cannot read 4 sectors at sector 00001800h (allocation bitmap)", SECTORS, ERR_DISK_ACCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Fresh f;
    c.damage(f);
    EXPECT_TRUE(throwsVantor([&] { ExfatVolumeMapper(f.disk, START, c.partitionSectors).getSectorMap(); }, c.code,
                             "exFAT volume at sector 00000800h: " + c.message));
  }
}

TEST(ExfatVolumeMapper, MapsAFullBitmapToTheHeapsEndIgnoresBitsPastItAndRefusesSectorsPast2To32) {
  Fresh f;
  f.disk.fill(f.clusterByte(readLE32(f.disk.read(f.entryByte(0x81) + 20, 4).data())), 0xFF, 4096);  // the bitmap
  putLE(f.disk, B + 92, 15869, 4);  // fewer than the heap holds: the last byte's top 3 bits are of none
  u64 used = 0;
  const SectorMap map = ExfatVolumeMapper(f.disk, START, SECTORS).getSectorMap(&used);
  EXPECT_EQ(describe(map), "2048 24\n4096 128\n6144 126952\n");  // boot, FAT, heap
  EXPECT_EQ(used, 15869u);

  // The same volume ending at sector 2^32 is refused; recognised by content alone.
  const u32 start = 0xFFFFFFFF - SECTORS + 2;  // the volume's last sector would be 2^32
  FakeDisk high = fakeDiskWith(Fresh::volume(), start, 0xFFFFFFFF);
  EXPECT_TRUE(throwsVantor([&] { ExfatVolumeMapper(high, start, SECTORS); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                           "exFAT volume at sector FFFE0001h: it reaches past drive sector FFFFFFFFh"));
  std::string head = Fresh::volume().substr(0, 4096);
  EXPECT_TRUE(ExfatVolumeMapper::recognises(reinterpret_cast<const u8*>(head.data()), head.size()));
  head[64 - 1] = 1;  // the must-be-zero field's last byte
  EXPECT_FALSE(ExfatVolumeMapper::recognises(reinterpret_cast<const u8*>(head.data()), head.size()));
}

}  // namespace
}  // namespace vantor::test

// ExfatVolumeMapper against volumes made by mkfs.exfat and filled through exfat-fuse:
// the map equals what an independent reader of the bitmap (a few lines of Python) finds,
// and a copy of only the mapped sectors into a random-filled file is a clean volume whose
// files read back unchanged. Damaged copies of a real volume are refused by name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <functional>
#include <sstream>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/ExfatVolumeMapper.h>

#include "support/FakeDisk.h"
#include "support/LoopDevice.h"
#include "support/Shell.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"

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

std::string describe(const SectorMap& map, u64 used) {
  std::ostringstream out;
  for (u32 i = 0; i < map.size(); ++i) out << map[i].firstSector << ' ' << map[i].numSectors << '\n';
  out << "used " << used << '\n';
  return out.str();
}

// Every file under `directory` with its SHA-256, in name order.
std::string digests(const std::string& directory) {
  return runOrThrow("cd " + shellQuote(directory) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
}

// Mixed sizes, a tree, two files grown in turns around short-lived ones (fragmented),
// and deleted files.
const char* const FILL = R"SH(
set -e
r() { head -c "$1" /dev/urandom; }
r 0 > empty; r 1 > one; r 4097 > small; mkdir -p d/e; r 3000000 > d/e/big; r 200000 > gone
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do r 70000 >> frag1; r 50000 >> frag2; r 30000 > tmp$i; done
rm gone tmp1 tmp3 tmp4 tmp7 tmp8 tmp11
for i in 1 2 3 4 5 6; do r 45000 >> frag1; r 20000 >> d/frag3; done
rm tmp2
)SH";

std::unique_ptr<IDisk> openDisk(const std::string& file, u32 sectorSize) {
  if (sectorSize == 512) return std::make_unique<WinDiskFile>(file.c_str(), WinDiskFile::OpenExisting, 512, 0);
  const std::string bytes = readFile(file), zeros(sectorSize, '\0');  // a fake disk of the non-zero sectors
  auto disk = std::make_unique<FakeDisk>(sectorSize, static_cast<u32>(bytes.size() / sectorSize));
  for (std::size_t at = 0; at < bytes.size(); at += sectorSize) {
    if (bytes.compare(at, sectorSize, zeros) != 0) disk->put(at, bytes.data() + at, sectorSize);
  }
  return disk;
}

TEST(ExfatVolumeMapper, MapsWhatTheBitmapHoldsAndACopyOfItIsTheSameVolume) {
  struct Case {
    const char* name;
    const char* mkfsOptions;
    u32 volumeSectorSize;  // the loop device's, which mkfs.exfat takes
    u32 diskSectorSize;
    u64 volumeOffset;  // bytes into the disk file
  };
  const Case cases[] = {
      {"defaults", "", 512, 512, 0},
      {"64 KiB clusters at 1 MiB", "-c 64K", 512, 512, 1 << 20},
      {"4096-byte volume sectors", "", 4096, 512, 3 << 20},
      {"512-byte clusters on a 4096-byte disk", "-c 512", 512, 4096, 1 << 20},
  };
  const u64 volumeBytes = 64ull << 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string volume = dir.file("volume.img"), disk = dir.file("disk.img");
    std::string sums;
    {
      runOrThrow("truncate -s " + std::to_string(volumeBytes) + " " + volume);
      std::string whyNot;
      auto loop = LoopDevice::attach(volume, c.volumeSectorSize, whyNot, false, false);
      if (!loop) GTEST_SKIP() << "exfat-fuse needs a loop device: " << whyNot;
      runOrThrow(std::string("mkfs.exfat ") + c.mkfsOptions + " " + loop->path());
      runOrThrow("mkdir " + dir.file("m") + " && mount.exfat-fuse " + loop->path() + " " + dir.file("m"));
      runOrThrow("cd " + dir.file("m") + " && sh -c " + shellQuote(FILL));
      sums = digests(dir.file("m"));
      runOrThrow("umount " + dir.file("m"));
    }
    runOrThrow("truncate -s " + std::to_string(c.volumeOffset + volumeBytes + (1 << 20)) + " " + disk +
               " && dd if=" + volume + " of=" + disk + " bs=4096 conv=notrunc status=none seek=" +
               std::to_string(c.volumeOffset / 4096));

    const auto source = openDisk(disk, c.diskSectorSize);
    const u32 start = static_cast<u32>(c.volumeOffset / c.diskSectorSize);
    u64 used = 0;
    const SectorMap map = ExfatVolumeMapper(*source, start, volumeBytes / c.diskSectorSize).getSectorMap(&used);
    const std::string oracle = dir.file("oracle.py");
    writeFile(oracle, ORACLE);
    EXPECT_EQ(describe(map, used), runOrThrow("python3 " + oracle + " " + disk + " " +
                                              std::to_string(c.volumeOffset) + " " +
                                              std::to_string(c.diskSectorSize)));
    const std::string stats = runOrThrow("dump.exfat " + volume);
    const auto field = [&](const char* name) { return std::stoull(stats.substr(stats.find(name) + strlen(name))); };
    EXPECT_EQ(used, field("Total Clusters:") - field("Free Clusters:"));
    EXPECT_GT(map.size(), 6u) << "the deleted files leave holes between runs";

    // Only the mapped sectors, into noise; then the volume alone, checked and read back.
    const std::string copy = dir.file("copy.img"), copiedVolume = dir.file("copied-volume.img");
    runOrThrow("head -c " + std::to_string(c.volumeOffset + volumeBytes + (1 << 20)) + " /dev/urandom > " + copy);
    {
      std::ifstream in(disk, std::ios::binary);
      std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
      for (u32 i = 0; i < map.size(); ++i) {
        std::vector<char> bytes(u64(map[i].numSectors) * c.diskSectorSize);
        in.seekg(u64(map[i].firstSector) * c.diskSectorSize).read(bytes.data(), bytes.size());
        out.seekp(u64(map[i].firstSector) * c.diskSectorSize).write(bytes.data(), bytes.size());
      }
    }
    runOrThrow("dd if=" + copy + " of=" + copiedVolume + " bs=4096 status=none skip=" +
               std::to_string(c.volumeOffset / 4096) + " count=" + std::to_string(volumeBytes / 4096));
    runOrThrow("fsck.exfat -n " + copiedVolume);
    std::string whyNot;
    auto loop = LoopDevice::attach(copiedVolume, c.volumeSectorSize, whyNot, true, false);
    ASSERT_TRUE(loop) << whyNot;
    runOrThrow("mkdir " + dir.file("r") + " && mount.exfat-fuse -o ro " + loop->path() + " " + dir.file("r"));
    EXPECT_EQ(digests(dir.file("r")), sums);
  }
}

// A fresh 64 MiB volume, as a fake disk's sectors from `start` on (made once).
struct Fresh {
  static constexpr u32 START = 2048;
  FakeDisk disk{512, START + (64u << 11) + 8};
  Fresh() {
    static const std::vector<std::pair<u64, std::string>> sectors = [] {
      TempDir dir;
      const std::string file = dir.file("v.img");
      runOrThrow("truncate -s 64M " + file + " && mkfs.exfat " + file);
      const std::string bytes = readFile(file), zeros(512, '\0');
      std::vector<std::pair<u64, std::string>> out;
      for (std::size_t at = 0; at < bytes.size(); at += 512) {
        if (bytes.compare(at, 512, zeros) != 0) out.emplace_back(at, bytes.substr(at, 512));
      }
      return out;
    }();
    for (const auto& s : sectors) disk.put(START * 512ull + s.first, s.second.data(), 512);
  }
  u32 readLE32At(u64 at) { return readLE32(disk.read(at, 4).data()); }
  u32 boot32(u32 offset) { return readLE32At(START * 512ull + offset); }
  u64 clusterByte(u32 c) { return (START + boot32(88)) * 512ull + (u64(c) - 2) * 4096; }  // 4 KiB clusters
  u64 entryByte(u8 type) {  // of the first root directory entry of this type
    for (u64 at = clusterByte(boot32(96));; at += 32) {
      if (disk.byteAt(at) == type) return at;
    }
  }
  void put32(u64 at, u32 v) { std::vector<u8> b(4); writeLE32(b.data(), v); disk.put(at, b); }
  void put64(u64 at, u64 v) { std::vector<u8> b(8); writeLE64(b.data(), v); disk.put(at, b); }
};

TEST(ExfatVolumeMapper, RefusesDamagedVolumesByName) {
  struct Case {
    std::function<void(Fresh&)> damage;
    VantorErrorCodes code;
    std::string message;
    u64 partitionSectors = 64u << 11;
  };
  constexpr u64 B = Fresh::START * 512ull;  // the boot sector
  const std::string at = "exFAT volume at sector 00000800h: ";
  const Case cases[] = {
      {[&](Fresh& f) { f.disk.put(B + 3, "NTFS    ", 8); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "the boot sector's file system name is not \"EXFAT   \""},
      {[&](Fresh& f) { f.disk.fill(B + 510, 0, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "the boot sector's signature is not AA55h"},
      {[&](Fresh& f) { f.disk.fill(B + 20, 1, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "the boot sector's must-be-zero field is not zero"},
      {[&](Fresh& f) { f.disk.fill(B + 108, 13, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "bytes-per-sector shift 13 is outside 9..12"},
      {[&](Fresh& f) { f.disk.fill(B + 109, 17, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "sectors-per-cluster shift 17 makes clusters over 32 MiB"},
      {[&](Fresh&) {}, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "its length of 131072 sectors of 512 bytes exceeds the partition", (64u << 11) - 1},
      {[&](Fresh& f) { f.put32(B + 92, f.boot32(92) + 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "cluster count 15873 runs past the volume"},
      {[&](Fresh& f) { f.put32(B + 84, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "cluster count 15872 does not fit its FAT"},
      {[&](Fresh& f) { f.put32(B + 88, 100); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "the FAT region overlaps the boot regions or the cluster heap, or is empty"},
      {[&](Fresh& f) { f.put64(f.entryByte(0x81) + 24, 1ull << 40); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "allocation bitmap runs past the volume"},
      {[&](Fresh& f) { f.put64(f.entryByte(0x81) + 24, 1983); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "allocation bitmap of 1983 bytes is too short for 15872 clusters"},
      {[&](Fresh& f) { f.put32(f.entryByte(0x81) + 20, 15874); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "cluster 00003E02h of the allocation bitmap lies outside the cluster heap"},
      {[&](Fresh& f) { f.disk.fill(f.entryByte(0x81), 0x01, 1); }, ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "no allocation bitmap entry for FAT 1"},
      {[&](Fresh& f) { f.put32(B + (f.boot32(80) * 512ull) + 4 * f.boot32(96), f.boot32(96)); },
       ERR_UNSUPPORTED_FILE_SYSTEM, at + "the root directory's cluster chain loops (or passes 256 MiB)"},
      {[&](Fresh& f) { f.put64(f.entryByte(0x81) + 24, 3 * 4096), f.put32(B + f.boot32(80) * 512ull + 8, 2); },
       ERR_UNSUPPORTED_FILE_SYSTEM, at + "the allocation bitmap's cluster chain loops (cluster 00000002h twice)"},
      {[&](Fresh& f) { f.put32(f.entryByte(0x82) + 20, f.boot32(96)), f.put64(f.entryByte(0x82) + 24, 4096); },
       ERR_UNSUPPORTED_FILE_SYSTEM,
       at + "cluster 00000005h belongs to two of the bitmaps, the up-case table and the root directory"},
      {[&](Fresh& f) { f.disk.gate = [](FakeDisk::Op, u32 s, u32) { return s != Fresh::START + 4096; }; },
       ERR_DISK_ACCESS, "exFAT volume at sector 00000800h: cannot read 4 sectors at sector 00001800h (allocation "
                        "bitmap)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Fresh f;
    ExfatVolumeMapper(f.disk, Fresh::START, 64u << 11).getSectorMap();  // sound before the damage
    c.damage(f);
    EXPECT_TRUE(throwsVantor([&] { ExfatVolumeMapper(f.disk, Fresh::START, c.partitionSectors).getSectorMap(); },
                             c.code, c.message));
  }
}

TEST(ExfatVolumeMapper, MapsAFullBitmapToTheHeapsEndAndIgnoresBitsPastTheLastCluster) {
  Fresh f;
  const u64 bitmap = f.clusterByte(f.readLE32At(f.entryByte(0x81) + 20));
  f.disk.fill(bitmap, 0xFF, 4096);
  f.put32(Fresh::START * 512ull + 92, 15869);  // fewer than the heap holds: the last byte's top 3 bits are of none
  u64 used = 0;
  const SectorMap map = ExfatVolumeMapper(f.disk, Fresh::START, 64u << 11).getSectorMap(&used);
  const std::vector<std::pair<u32, u32>> expected = {{Fresh::START, 24}, {Fresh::START + 2048, 128},
                                                     {Fresh::START + 4096, 15869 * 8}};  // boot, FAT, heap
  std::vector<std::pair<u32, u32>> runs;
  for (u32 i = 0; i < map.size(); ++i) runs.emplace_back(map[i].firstSector, map[i].numSectors);
  EXPECT_EQ(runs, expected);
  EXPECT_EQ(used, 15869u);
}

TEST(ExfatVolumeMapper, RefusesAVolumePastSector2To32AndRecognisesByContent) {
  Fresh f;
  FakeDisk high(512, 0xFFFFFFFF);
  const u32 start = 0xFFFFFFFF - (64u << 11) + 2;  // the volume's last sector would be 2^32
  high.put(u64(start) * 512, f.disk.read(Fresh::START * 512ull, 1 << 20));
  EXPECT_TRUE(throwsVantor([&] { ExfatVolumeMapper(high, start, 64u << 11); }, ERR_UNSUPPORTED_FILE_SYSTEM,
                           "exFAT volume at sector FFFE0001h: it reaches past drive sector FFFFFFFFh"));
  std::vector<u8> head = f.disk.read(Fresh::START * 512ull, 4096);
  EXPECT_TRUE(ExfatVolumeMapper::recognises(head.data(), head.size()));
  head[64 - 1] = 1;  // the must-be-zero field's last byte
  EXPECT_FALSE(ExfatVolumeMapper::recognises(head.data(), head.size()));
}

// The allocation of a 64 GiB volume of 4 KiB clusters (16 M clusters, a 2 MiB bitmap),
// mapped from a sparse file; prints the time.
TEST(ExfatVolumeMapper, MapsA64GiBVolumeQuickly) {
  TempDir dir;
  const std::string file = dir.file("big.img");
  runOrThrow("truncate -s 64G " + file + " && mkfs.exfat -c 4K " + file);
  WinDiskFile disk(file.c_str(), WinDiskFile::OpenExisting, 512, 0);
  const ExfatVolumeMapper mapper(disk, 0, disk.getSizeSectors());
  const auto before = std::chrono::steady_clock::now();
  u64 used = 0;
  const SectorMap map = mapper.getSectorMap(&used);
  const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count();
  std::cout << "64 GiB, " << mapper.getClusterCount() << " clusters: mapped in " << ms << " ms\n";
  RecordProperty("milliseconds", std::to_string(ms));
  EXPECT_EQ(mapper.getClusterBytes(), 4096u);
  EXPECT_GE(used, 512u + 2 + 1);  // the bitmap's own 2 MiB, the up-case table, the root
  EXPECT_LT(ms, 1500.0);        // a tenth of this where no sanitizer runs
}

}  // namespace
}  // namespace vantor::test

// NtfsVolumeMapper on volumes that mkntfs made and ntfs-3g filled (mixed sizes, files
// grown in turns so they fragment, deleted files, enough files for $MFT to grow). The map
// must equal the one ntfs-3g's own reading of $Bitmap gives, and the mapped sectors alone,
// copied over random bytes, must carry the volume: ntfsfix -n finds the copy clean and
// every file reads back with the same SHA-256. Damaged copies of a real volume are
// refused with a message that names the damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/NtfsVolumeMapper.h>

#include "support/FakeDisk.h"
#include "support/Shell.h"
#include "support/TempDir.h"

using namespace vantor;
using namespace vantor::test;

namespace {

std::string skipReason() {
  if (!hasShell() || run("command -v mkntfs ntfs-3g ntfsfix ntfsinfo python3 >/dev/null 2>&1") != 0) {
    return "needs mkntfs, ntfs-3g, ntfsfix, ntfsinfo and python3";
  }
  return "";
}
std::string mountSkipReason() {
  if (!isRoot()) return "ntfs-3g mounts (FUSE) need root";
  if (run("test -c /dev/fuse") != 0) return "no /dev/fuse";
  return skipReason();
}

// An ntfs-3g mount of an image file, unmounted when it goes, also when a test fails.
class NtfsMount {
 public:
  NtfsMount(const std::string& image, const std::string& dir, const std::string& options) : dir_(dir) {
    runOrThrow("mkdir -p " + shellQuote(dir) + " && ntfs-3g -o " + options + " " + shellQuote(image) + " " +
               shellQuote(dir));
  }
  ~NtfsMount() {
    if (run("umount " + shellQuote(dir_) + " 2>/dev/null") != 0) run("umount -l " + shellQuote(dir_));
  }
  NtfsMount(const NtfsMount&) = delete;
  NtfsMount& operator=(const NtfsMount&) = delete;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Fills a mounted volume (argv: dir, seed, scale), or prints "sha256 path" for each file.
const char* const FILL_SCRIPT = R"(
import hashlib, os, random, sys
root, mode = sys.argv[1], sys.argv[2]
if mode == 'hash':
  for d, _, names in sorted(os.walk(root)):
    for n in sorted(names):
      p = os.path.join(d, n)
      print(hashlib.sha256(open(p, 'rb').read()).hexdigest(), os.path.relpath(p, root))
  sys.exit(0)
rnd = random.Random(int(mode)); scale = int(sys.argv[3])
os.makedirs(root + '/many')
for i in range(300 * scale):                      # $MFT grows past its first records
  open('%s/many/f%04d' % (root, i), 'wb').write(rnd.randbytes(rnd.choice([0, 100, 700, 3000, 9000])))
grown = [open('%s/grown%d' % (root, k), 'ab') for k in range(4)]
for step in range(40 * scale):                    # appends in turns: fragmented files
  for f in grown:
    f.write(rnd.randbytes(rnd.randrange(500, 30000))); f.flush(); os.fsync(f.fileno())
  if step % 3 == 0:
    open('%s/gone%d' % (root, step), 'wb').write(rnd.randbytes(rnd.randrange(1, 200000)))
for f in grown: f.close()
open(root + '/large', 'wb').write(rnd.randbytes(3000000 * scale))
for i in range(0, 300 * scale, 3): os.remove('%s/many/f%04d' % (root, i))
for step in range(0, 40 * scale, 6): os.remove('%s/gone%d' % (root, step))
)";

struct Layout {
  u32 clusterBytes = 0, sectorBytes = 0;
  u64 clusterCount = 0, freeClusters = 0;
};
u64 field(const std::string& info, const std::string& name) {
  const auto at = info.find(name + ": ");
  if (at == std::string::npos) throw std::runtime_error("ntfsinfo says nothing of " + name + ":\n" + info);
  return std::stoull(info.substr(at + name.size() + 2));
}
Layout ntfsInfo(const std::string& image) {
  const std::string info = runOrThrow("ntfsinfo -m " + shellQuote(image));
  return {u32(field(info, "Cluster Size")), u32(field(info, "Sector Size")), field(info, "Volume Size in Clusters"),
          field(info, "Free Clusters")};
}

using Runs = std::vector<std::pair<u32, u32>>;  // first sector, count
Runs runsOf(const SectorMap& map) {
  Runs out;
  for (u32 i = 0; i < map.size(); ++i) out.emplace_back(map[i].firstSector, map[i].numSectors);
  return out;
}
void addBytes(SectorMap& map, u64 startSector, u32 diskSector, u64 offset, u64 length) {
  const u64 first = startSector + offset / diskSector, end = startSector + (offset + length + diskSector - 1) / diskSector;
  addSectorRange(map, makeSectorRange(u32(first), u32(end - first)));
}

struct VolumeCase {
  const char* name;
  u32 diskSector;
  u64 volumeMiB;
  u64 offsetSectors;  // where the volume starts on the disk file
  const char* mkntfsOptions;
  int scale;          // how much the fill writes
};

class NtfsRealVolume : public ::testing::TestWithParam<VolumeCase> {};

// ntfs-3g's reading of $Bitmap (shown as a file with show_sys_files) and the volume's
// last sector give the oracle map; the mapped sectors alone then carry every file.
TEST_P(NtfsRealVolume, MapEqualsNtfs3gsBitmapAndCarriesEveryFile) {
  const std::string reason = mountSkipReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  const VolumeCase& c = GetParam();
  TempDir dir;
  const std::string volume = dir.file("volume.img"), disk = dir.file("disk.img");
  const u64 volumeBytes = c.volumeMiB << 20;
  runOrThrow("truncate -s " + std::to_string(volumeBytes) + " " + volume + " && mkntfs -F -Q " + c.mkntfsOptions +
             " " + volume);
  std::string before;
  {
    NtfsMount rw(volume, dir.file("rw"), "rw");
    runOrThrow("printf '%s' " + shellQuote(FILL_SCRIPT) + " > " + dir.file("fill.py") + " && python3 " +
               dir.file("fill.py") + " " + rw.dir() + " 7 " + std::to_string(c.scale));
    before = runOrThrow("python3 " + dir.file("fill.py") + " " + rw.dir() + " hash");
  }
  ASSERT_GT(std::count(before.begin(), before.end(), '\n'), 100);
  const std::string runs =
      runOrThrow("for k in 0 1 2 3; do ntfsinfo -v -F /grown$k " + volume + "; done | grep -c '^\t\t\t0x'");
  EXPECT_GT(std::stoi(runs), 4) << "none of the grown files is fragmented";
  const Layout layout = ntfsInfo(volume);
  std::string bitmap;
  {
    NtfsMount ro(volume, dir.file("ro"), "ro,show_sys_files");
    bitmap = readFile(ro.dir() + "/$Bitmap");
  }
  ASSERT_GE(bitmap.size() * 8, layout.clusterCount);

  // The disk: the volume at its offset, with a few MiB after it.
  const u64 diskBytes = c.offsetSectors * c.diskSector + volumeBytes + (4 << 20);
  std::string diskImage(c.offsetSectors * c.diskSector, '\0');
  diskImage += readFile(volume);
  diskImage.resize(diskBytes, '\0');
  writeFile(disk, diskImage);

  SectorMap expected;
  const u32 start = u32(c.offsetSectors), ds = c.diskSector;
  addBytes(expected, start, ds, 0, std::max<u64>(8192, layout.clusterBytes));
  for (u64 cl = 0; cl < layout.clusterCount; ++cl) {
    if (u8(bitmap[cl / 8]) >> (cl % 8) & 1) addBytes(expected, start, ds, cl * layout.clusterBytes, layout.clusterBytes);
  }
  addBytes(expected, start, ds, volumeBytes - layout.sectorBytes, layout.sectorBytes);  // the backup boot sector

  WinDiskFile file(disk.c_str(), WinDiskFile::OpenExisting, ds, diskBytes);
  ASSERT_TRUE(file.isOpen());
  ASSERT_TRUE(NtfsVolumeMapper::recognises(reinterpret_cast<const u8*>(diskImage.data()) + u64(start) * ds, 4096));
  const NtfsVolumeMapper mapper(file, start, volumeBytes / ds);
  u64 used = 0;
  const SectorMap map = mapper.getSectorMap(&used);
  EXPECT_EQ(runsOf(map), runsOf(expected));
  EXPECT_EQ(used, layout.clusterCount - layout.freeClusters);
  EXPECT_EQ(mapper.getClusterBytes(), layout.clusterBytes);
  EXPECT_EQ(mapper.getClusterCount(), layout.clusterCount);

  // Only the mapped sectors, over random bytes.
  std::string copy(diskBytes, '\0');
  std::mt19937_64 random(1);
  for (std::size_t i = 0; i + 8 <= copy.size(); i += 8) writeLE64(reinterpret_cast<u8*>(&copy[i]), random());
  for (u32 i = 0; i < map.size(); ++i) {
    const u64 at = u64(map[i].firstSector) * ds, n = u64(map[i].numSectors) * ds;
    ASSERT_LE(at + n, u64(start) * ds + volumeBytes) << "run " << i << " leaves the volume";
    copy.replace(at, n, diskImage, at, n);
  }
  const std::string copied = dir.file("copy.img");
  writeFile(copied, copy.substr(u64(start) * ds, volumeBytes));
  const std::string fix = runOrThrow("ntfsfix -n " + copied);
  EXPECT_NE(fix.find("processed successfully"), std::string::npos) << fix;
  NtfsMount back(copied, dir.file("back"), "ro");
  EXPECT_EQ(runOrThrow("python3 " + dir.file("fill.py") + " " + back.dir() + " hash"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, NtfsRealVolume,
    ::testing::Values(VolumeCase{"Default", 512, 64, 0, "", 1},
                      VolumeCase{"SmallClustersAtAnOffset", 512, 96, 2048, "-c 1024", 2},
                      VolumeCase{"LargeClusters", 512, 128, 63, "-c 65536", 1},
                      VolumeCase{"NativeFourKSectors", 4096, 64, 256, "-s 4096", 1},
                      VolumeCase{"HalfKClustersOnAFourKDrive", 4096, 48, 8, "-s 512 -c 512", 1}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) { return std::string(info.param.name); });

// A fresh volume, as a sparse FakeDisk, and where its structures lie.
struct Fresh {
  FakeDisk disk{512, 0};
  u64 sectors = 0, record6 = 0, bitmapAttribute = 0;
};
Fresh freshVolume(u64 mib) {
  TempDir dir;
  runOrThrow("truncate -s " + std::to_string(mib << 20) + " " + dir.file("v") + " && mkntfs -F -Q " + dir.file("v"));
  const std::string bytes = readFile(dir.file("v"));
  Fresh f;
  f.sectors = bytes.size() / 512;
  f.disk = FakeDisk(512, u32(f.sectors));
  for (u64 s = 0; s < f.sectors; ++s) {
    const char* p = bytes.data() + s * 512;
    if (std::any_of(p, p + 512, [](char ch) { return ch != 0; })) f.disk.put(s * 512, p, 512);
  }
  const auto* b = reinterpret_cast<const u8*>(bytes.data());
  f.record6 = readLE64(b + 48) * 512 * b[13] + 6 * 1024;
  for (u64 at = f.record6 + readLE16(b + f.record6 + 20); readLE32(b + at) != 0xFFFFFFFF; at += readLE32(b + at + 4)) {
    if (readLE32(b + at) == 0x80) f.bitmapAttribute = at;
  }
  return f;
}

TEST(NtfsVolumeMapper, RefusesDamageByName) {
  const std::string reason = skipReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  struct Case {
    const char* damage;
    std::function<void(Fresh&)> apply;
    u64 countShort;  // volume sectors the caller leaves out
    VantorErrorCodes code;
    const char* message;
    u32 start = 0;  // where the volume lies on the disk
  };
  const auto set = [](Fresh& f, u64 at, u64 value, u32 width) {
    for (u32 i = 0; i < width; ++i) f.disk.put(at + i, std::vector<u8>{u8(value >> 8 * i)});
  };
  const auto runs = [](Fresh& f) { return f.bitmapAttribute + readLE16(f.disk.read(f.bitmapAttribute + 32, 2).data()); };
  const Case cases[] = {
      {"OEM name", [&](Fresh& f) { set(f, 3, 'X', 1); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM, "no \"NTFS    \" OEM name"},
      {"signature", [&](Fresh& f) { set(f, 510, 0, 2); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM, "without its 55AAh"},
      {"sector size", [&](Fresh& f) { set(f, 11, 1000, 2); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM, "1000 bytes per sector"},
      {"cluster size", [&](Fresh& f) { set(f, 13, 3, 1); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "sectors-per-cluster byte 03h"},
      {"volume shorter than the file system", [](Fresh&) {}, 1, ERR_UNSUPPORTED_FILE_SYSTEM, "do not fit"},
      {"total sectors absurd", [&](Fresh& f) { set(f, 40, ~0ull, 8); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM, "do not fit"},
      {"MFT record size", [&](Fresh& f) { set(f, 64, 0, 1); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM, "MFT records of 0 bytes"},
      {"MFT past the volume", [&](Fresh& f) { set(f, 48, 1ull << 40, 8); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "MFT at cluster 1099511627776 outside"},
      {"record signature", [&](Fresh& f) { set(f, f.record6, 'B', 1); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "no \"FILE\" signature"},
      {"torn record", [&](Fresh& f) { set(f, f.record6 + 1022, 0x1234, 2); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "block 1 fails its update sequence check"},
      {"update sequence count", [&](Fresh& f) { set(f, f.record6 + 6, 5, 2); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "update sequence array at offset 48 with 5 entries"},
      {"attribute length", [&](Fresh& f) { set(f, f.bitmapAttribute + 4, 0x10000, 4); }, 0,
       ERR_UNSUPPORTED_FILE_SYSTEM, "length 65536 outside the record"},
      {"bitmap size", [&](Fresh& f) { set(f, f.bitmapAttribute + 48, 100, 8), set(f, f.bitmapAttribute + 56, 100, 8); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "$Bitmap of 100 bytes is shorter"},
      {"bitmap allocated past the volume", [&](Fresh& f) { set(f, f.bitmapAttribute + 40, 1ull << 50, 8); }, 0,
       ERR_UNSUPPORTED_FILE_SYSTEM, "$Bitmap with absurd sizes"},
      {"bitmap continued in other records", [&](Fresh& f) { set(f, f.bitmapAttribute + 16, 5, 8); }, 0,
       ERR_UNSUPPORTED_FILE_SYSTEM, "holds it from VCN 5 only"},
      {"compressed bitmap", [&](Fresh& f) { set(f, f.bitmapAttribute + 12, 1, 2); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "$Bitmap is compressed or encrypted"},
      {"run past the volume", [&](Fresh& f) { set(f, runs(f) + (f.disk.byteAt(runs(f)) & 15) + (f.disk.byteAt(runs(f)) >> 4), 0x7F, 1); }, 0,
       ERR_UNSUPPORTED_FILE_SYSTEM, "$Bitmap run past the volume"},
      {"run list without end", [&](Fresh& f) { set(f, runs(f), 0x88, 1); }, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "run header 88h"},
      {"bitmap unreadable",  // the third read: boot sector, record 6, then the bitmap's one sector
       [&](Fresh& f) { f.disk.gate = [n = 0](FakeDisk::Op, u32, u32) mutable { return ++n != 3; }; }, 0,
       ERR_DISK_ACCESS, "error reading 1 sectors at sector"},
      {"sectors past FFFFFFFFh", [](Fresh&) {}, 0, ERR_UNSUPPORTED_FILE_SYSTEM,
       "reaches past drive sector FFFFFFFFh (to 100000FFFh)", 0xFFFF9000},
  };
  const Fresh pristine = freshVolume(16);
  for (const Case& c : cases) {
    Fresh f = pristine;
    f.disk = FakeDisk(512, u32(std::min<u64>(c.start + f.sectors, 0xFFFFFFFF)));  // a medium of its own
    for (const auto& s : pristine.disk.sectors()) f.disk.put((c.start + s.first) * 512, s.second);
    c.apply(f);
    try {
      NtfsVolumeMapper(f.disk, c.start, f.sectors - c.countShort).getSectorMap();
      ADD_FAILURE() << c.damage << ": mapped";
    } catch (const VantorException& x) {
      EXPECT_EQ(x.getErrorCode(), c.code) << c.damage;
      EXPECT_NE(x.getMessage().str().find(c.message), std::string::npos) << c.damage << ": " << x.getMessage();
      EXPECT_EQ(x.getMessage().str().rfind(vrk::SprintfFormat("NTFS volume at sector %08Xh: ", c.start).str(), 0), 0u)
          << x.getMessage();
    }
  }
}

// A 64 GiB volume as mkntfs -Q leaves it: the map is made from a 2 MiB bitmap in a few
// large reads, well within the time a capture may spend on it.
TEST(NtfsVolumeMapper, MapsALargeVolumeQuickly) {
  const std::string reason = skipReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  TempDir dir;
  runOrThrow("truncate -s 64G " + dir.file("big") + " && mkntfs -F -Q " + dir.file("big"));
  WinDiskFile file(dir.file("big").c_str(), WinDiskFile::OpenExisting, 512, u64(64) << 30);
  const auto began = std::chrono::steady_clock::now();
  const NtfsVolumeMapper mapper(file, 0, file.getSizeSectors());
  u64 used = 0;
  const SectorMap map = mapper.getSectorMap(&used);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  std::printf("64 GiB volume: %u runs, %llu used clusters of %llu, mapped in %.1f ms\n", map.size(),
              static_cast<unsigned long long>(used), static_cast<unsigned long long>(mapper.getClusterCount()), ms);
  EXPECT_EQ(used, mapper.getClusterCount() - ntfsInfo(dir.file("big")).freeClusters);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__OPTIMIZE__)
  EXPECT_LT(ms, 1500.0);  // unoptimised builds
#elif !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(ms, 150.0);
#endif
}

}  // namespace

// NtfsVolumeMapper on volumes that mkntfs made and ntfs-3g filled (VolumeKit). The map
// must equal the one $Bitmap gives as ntfscat reads it, and the mapped sectors alone,
// copied over random bytes, must carry the volume. Damaged copies of a real volume are
// refused with a message that names the damage.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include <libVantor/LittleEndian.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/NtfsVolumeMapper.h>

#include "support/Imaging.h"
#include "support/TempDir.h"
#include "support/VolumeKit.h"

namespace vantor::test {
namespace {

u64 field(const std::string& info, const std::string& name) {
  const auto at = info.find(name + ": ");
  if (at == std::string::npos) throw std::runtime_error("ntfsinfo says nothing of " + name + ":\n" + info);
  return std::stoull(info.substr(at + name.size() + 2));
}

TEST(NtfsVolumeMapper, MapEqualsTheBitmapAndCarriesEveryFile) {
  if (const std::string why = VolumeKit::unavailable(); !why.empty()) GTEST_SKIP() << why;
  // {name, the disk's sector size, the volume's MiB, the offset in disk sectors, mkntfs options}
  const std::tuple<const char*, u32, u64, u64, const char*> cases[] = {{"default", 512, 64, 0, ""},
                        {"small clusters at an offset", 512, 96, 2048, "-c 1024"},
                        {"large clusters", 512, 128, 63, "-c 65536"},
                        {"native 4 KiB sectors", 4096, 64, 256, "-s 4096"},
                        {"512-byte clusters on a 4 KiB drive", 4096, 48, 8, "-s 512 -c 512"}};
  for (const auto& [name, ds, volumeMiB, start, mkntfsOptions] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    const VolumeKit kit(dir.path());
    const std::string volume = dir.file("volume.img"), disk = dir.file("disk.img");
    const u64 bytes = volumeMiB << 20;
    kit.make(volume, VolumeKind::Ntfs, bytes / 512, 0, mkntfsOptions);
    VolumeKit::place(volume, disk, start * ds / 512);

    const std::string info = runOrThrow("ntfsinfo -m " + shellQuote(volume));
    const u64 clusterBytes = field(info, "Cluster Size"), clusters = field(info, "Volume Size in Clusters");
    const std::string bitmap = runOrThrow("ntfscat " + shellQuote(volume) + " '$Bitmap'");
    ASSERT_GE(bitmap.size() * 8, clusters);
    SectorMap expected;
    addBytes(expected, start, ds, 0, std::max<u64>(8192, clusterBytes));
    for (u64 cl = 0; cl < clusters; ++cl) {
      if (u8(bitmap[cl / 8]) >> (cl % 8) & 1) addBytes(expected, start, ds, cl * clusterBytes, clusterBytes);
    }
    const u64 sectorBytes = field(info, "Sector Size");
    addBytes(expected, start, ds, bytes - sectorBytes, sectorBytes);  // the backup boot sector

    WinDiskFile file(disk.c_str(), WinDiskFile::OpenExisting, ds, 0);
    u64 used = 0;
    const SectorMap map = NtfsVolumeMapper(file, u32(start), bytes / ds).getSectorMap(&used);
    EXPECT_EQ(describe(map), describe(expected));
    EXPECT_EQ(used, clusters - field(info, "Free Clusters"));
    EXPECT_EQ(kit.mappedCopyProblems(disk, ds, map, start * ds / 512, bytes / 512, VolumeKind::Ntfs), "");
  }
}

TEST(NtfsVolumeMapper, RefusesDamageByName) {
  TempDir dir;
  runOrThrow("truncate -s 16M " + dir.file("v") + " && mkntfs -F -Q -q " + dir.file("v") + " 2>/dev/null");
  const std::string volume = readFile(dir.file("v"));
  const auto* b = reinterpret_cast<const u8*>(volume.data());
  const u64 sectors = volume.size() / 512, record6 = readLE64(b + 48) * 512 * b[13] + 6 * 1024;
  u64 attribute = 0;  // $Bitmap's $DATA in record 6
  for (u64 at = record6 + readLE16(b + record6 + 20); readLE32(b + at) != 0xFFFFFFFF; at += readLE32(b + at + 4)) {
    if (readLE32(b + at) == 0x80) attribute = at;
  }
  const u64 runs = attribute + readLE16(b + attribute + 32), firstRunEnd = runs + (b[runs] & 15) + (b[runs] >> 4);
  struct Case {
    const char* damage;
    std::function<void(FakeDisk&, u64 base)> apply;
    const char* message;
    u64 countShort = 0;  // volume sectors the caller leaves out
    u32 start = 0;       // where the volume lies on the disk
    VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM;
  };
  const auto set = [](u64 at, u64 value, u32 width) {
    return [=](FakeDisk& d, u64 base) { putLE(d, base + at, value, width); };
  };
  const auto none = [](FakeDisk&, u64) {};
  const Case cases[] = {
      {"OEM name", set(3, 'X', 1), "no \"NTFS    \" OEM name"},
      {"signature", set(510, 0, 2), "without its 55AAh"},
      {"sector size", set(11, 1000, 2), "1000 bytes per sector"},
      {"cluster size", set(13, 3, 1), "sectors-per-cluster byte 03h"},
      {"volume shorter than the file system", none, "do not fit", 1},
      {"MFT record size", set(64, 0, 1), "MFT records of 0 bytes"},
      {"MFT past the volume", set(48, 1ull << 40, 8), "MFT at cluster 1099511627776 outside"},
      {"record signature", set(record6, 'B', 1), "no \"FILE\" signature"},
      {"torn record", set(record6 + 1022, 0x1234, 2), "block 1 fails its update sequence check"},
      {"update sequence count", set(record6 + 6, 5, 2), "update sequence array at offset 48 with 5 entries"},
      {"attribute length", set(attribute + 4, 0x10000, 4), "length 65536 outside the record"},
      {"bitmap size",
       [&](FakeDisk& d, u64 base) { set(attribute + 48, 100, 8)(d, base), set(attribute + 56, 100, 8)(d, base); },
       "$Bitmap of 100 bytes is shorter"},
      {"bitmap allocated past the volume", set(attribute + 40, 1ull << 50, 8), "$Bitmap with absurd sizes"},
      {"bitmap continued in other records", set(attribute + 16, 5, 8), "holds it from VCN 5 only"},
      {"compressed bitmap", set(attribute + 12, 1, 2), "$Bitmap is compressed or encrypted"},
      {"run past the volume", set(firstRunEnd, 0x7F, 1), "$Bitmap run past the volume"},
      {"run list without end", set(runs, 0x88, 1), "run header 88h"},
      {"bitmap unreadable",  // the third read: boot sector, record 6, then the bitmap's one sector
       [](FakeDisk& d, u64) { d.gate = [n = 0](FakeDisk::Op, u32, u32) mutable { return ++n != 3; }; },
       "error reading 1 sectors at sector", 0, 0, ERR_DISK_ACCESS},
      {"sectors past FFFFFFFFh", none, "reaches past drive sector FFFFFFFFh (to 100000FFFh)", 0, 0xFFFF9000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    FakeDisk disk = fakeDiskWith(volume, c.start, u32(std::min<u64>(c.start + sectors, 0xFFFFFFFF)));
    c.apply(disk, c.start * 512ull);
    const std::string got = outcome([&] { NtfsVolumeMapper(disk, c.start, sectors - c.countShort).getSectorMap(); });
    const std::string prefix = vrk::SprintfFormat("error %d NTFS volume at sector %08Xh: ", int(c.code), c.start).str();
    EXPECT_EQ(got.rfind(prefix, 0), 0u) << got;
    EXPECT_NE(got.find(c.message), std::string::npos) << got;
  }
}

}  // namespace
}  // namespace vantor::test

// Capturing every volume of the drives a technician meets: no table, MBR with logical
// volumes, GPT; FAT, exFAT, NTFS and ext volumes made and filled by their own tools, a
// swap volume no mapper reads. Each is captured used-sectors-only, restored verified onto
// a target full of random bytes (a GPT also onto a bigger and a smaller one), and then
// each volume's own checker must find it clean and every file must read back the same.
// Old signatures the image does not overwrite are gone after the restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <libVantor/DriveVolumes.h>
#include <libVantor/SignatureEraser.h>
#include <libVantor/WinDiskFile.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"
#include "support/VolumeKit.h"

namespace vantor::test {
namespace {

struct Layout {
  const char* name;
  u64 diskSectors;
  std::string table;  // "none", an sfdisk script, or "gpt:" and sgdisk's options
  std::map<u32, VolumeKind> volumes;  // by partition number; 0: the whole drive
  std::vector<long long> targetGrowth;      // sectors added to (or taken from) the source's size, per target
  std::vector<std::string> formerly = {};   // commands that made what other targets held before: ext2, a GPT
};

std::shared_ptr<IDisk> openDisk(const std::string& path) {
  return std::make_shared<WinDiskFile>(path, WinDiskFile::OpenExisting, 512, 0);
}

// Runs one operation of a new imager covering every volume; its closing notification.
std::string runImager(std::shared_ptr<IDisk> disk, const std::function<bool(DiskImager&)>& start) {
  return runImaging(std::move(disk), [&](DiskImager& i) {
    i.setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME);
    return start(i);
  });
}

// The source disk of `layout`: its table, then each volume made, filled and placed.
void build(const VolumeKit& kit, const TempDir& dir, const Layout& layout, const std::string& disk) {
  runOrThrow("truncate -s " + std::to_string(layout.diskSectors * 512) + " " + shellQuote(disk));
  if (layout.table.rfind("gpt:", 0) == 0) {
    runOrThrow("sgdisk -o " + shellQuote(disk) + " && sgdisk " + layout.table.substr(4) + " " + shellQuote(disk));
  } else if (layout.table != "none") {
    runOrThrow("printf " + shellQuote(layout.table) + " | sfdisk -q " + shellQuote(disk));
  }
  if (layout.table == "none") return kit.make(disk, layout.volumes.at(0), layout.diskSectors);
  for (const DRIVE_VOLUME& v : DriveVolumes::ofDisk(*openDisk(disk)).volumes) {
    const std::string volume = dir.file("volume.img");
    kit.make(volume, layout.volumes.at(v.number), v.sectorCount, v.firstSector);
    VolumeKit::place(volume, disk, v.firstSector);
  }
}

const Layout LAYOUTS[] = {
    {"exFAT key, no table", 131072, "none", {{0, VolumeKind::Exfat}}, {0}},
    {"FAT32 key, no table", 98304, "none", {{0, VolumeKind::Fat32}}, {0}},
    {"NTFS disk, MBR", 131072, "label: dos\nstart=2048, type=7\n", {{1, VolumeKind::Ntfs}}, {0},
     {"mkfs.ext2 -q -F", "sgdisk -o"}},
    {"card: FAT32 boot and ext4 root", 204800, "label: dos\nstart=2048, size=90112, type=c\nstart=92160, type=83\n",
     {{1, VolumeKind::Fat32}, {2, VolumeKind::Ext4}}, {0}},
    {"old disk: ext3 and three logical volumes", 262144,
     "label: dos\nsize=40960, type=83\ntype=5\nsize=65536, type=e\nsize=65536, type=83\ntype=7\n",
     {{1, VolumeKind::Ext3}, {5, VolumeKind::Fat16}, {6, VolumeKind::Ext2}, {7, VolumeKind::Exfat}}, {0}},
    {"newer PC: GPT", 360448,
     "gpt:-n 1:2048:+44M -t 1:EF00 -c 1:EFI -n 2:0:+48M -t 2:0700 -c 2:Data -n 3:0:+48M -t 3:8300 -n 4:0:+8M -t 4:8200",
     {{1, VolumeKind::Fat32}, {2, VolumeKind::Ntfs}, {3, VolumeKind::Ext4}, {4, VolumeKind::Swap}},
     {0, 65536, -40960}},
};

TEST(DriveLayouts, EveryVolumeIsCapturedUsedSectorsOnlyAndRestoredWhole) {
  if (const std::string why = VolumeKit::unavailable(); !why.empty()) GTEST_SKIP() << why;
  for (const Layout& layout : LAYOUTS) {
    SCOPED_TRACE(layout.name);
    TempDir dir;
    const VolumeKit kit(dir.path());
    const std::string source = dir.file("source.img"), image = dir.file("capture.vimg");
    build(kit, dir, layout, source);

    ASSERT_EQ(runImager(openDisk(source), [&](DiskImager& i) { return i.startReadingImage(image, true, false); }), "finished");
    const DRIVE_LAYOUT found = DriveVolumes::ofDisk(*openDisk(source));
    ASSERT_EQ(found.volumes.size(), layout.volumes.size());
    for (const DRIVE_VOLUME& v : found.volumes) {
      const VolumeKind kind = layout.volumes.at(v.number);
      EXPECT_EQ(v.copiedWhole, kind == VolumeKind::Swap) << v.number << " " << v.reason;
      EXPECT_EQ(v.fileSystem, kind == VolumeKind::Swap ? "" : nameOf(kind)) << v.number;
    }
    EXPECT_LT(found.usedSectors * 2, layout.diskSectors) << "used sectors only";
    if (layout.diskSectors <= 204800) {
      // The same capture of the same bytes on a drive that records its requests: what the
      // map read in large pieces (a FAT, a bitmap) is asked for again only at its edges.
      const std::string bytes = readFile(source);
      auto drive = std::make_shared<FakeDisk>(512, static_cast<u32>(layout.diskSectors));
      drive->put(0, bytes.data(), bytes.size());
      ASSERT_EQ(runImager(drive, [&](DiskImager& i) { return i.startReadingImage(dir.file("again.vimg"), true, false); }),
                "finished");
      EXPECT_EQ(readFile(dir.file("again.vimg")), readFile(image));
      std::vector<u8> reads(layout.diskSectors);
      for (const FakeDisk::Call& c : drive->calls()) {
        for (u32 s = c.sector; c.op == FakeDisk::Op::Read && s < c.sector + c.count; ++s) ++reads[s];
      }
      for (const FakeDisk::Call& c : drive->calls()) {
        if (c.op != FakeDisk::Op::Read || c.count < 128) continue;
        EXPECT_LT(std::count_if(&reads[c.sector], &reads[c.sector] + c.count, [](u8 n) { return n > 1; }), 512)
            << "read again: " << c.sector << "+" << c.count;
      }
    }

    for (const long long growth : layout.targetGrowth) {
      SCOPED_TRACE("target grown by " + std::to_string(growth) + " sectors");
      const std::string target = dir.file("target.img");
      runOrThrow("head -c " + std::to_string((static_cast<long long>(layout.diskSectors) + growth) * 512) + " /dev/urandom > " +
                 shellQuote(target));
      const std::string end = runImager(openDisk(target), [&](DiskImager& i) {
        return i.startWritingImage(image, true, false, true,
                                   [&](std::shared_ptr<IDisk> d) { (void)SignatureEraser::eraseForeign(*d, image); });
      });
      ASSERT_EQ(end, "finished");
      for (const DRIVE_VOLUME& v : found.volumes) {
        const VolumeKind kind = layout.volumes.at(v.number);
        SCOPED_TRACE(std::to_string(v.number) + " " + nameOf(kind));
        EXPECT_EQ(kit.problems(target, v.firstSector, v.sectorCount, kind), "");
        const std::string files = kit.digests(source, v.firstSector, v.sectorCount, kind);
        EXPECT_NE(files, "");
        EXPECT_EQ(kit.digests(target, v.firstSector, v.sectorCount, kind), files);
      }
      if (layout.table.rfind("gpt:", 0) == 0) {
        EXPECT_NE(capture("sgdisk -v " + shellQuote(target) + " 2>&1").find("No problems found"), std::string::npos);
      }
    }
    // An MBR image restored over a drive that held a whole-drive ext2, or a GPT: neither the
    // ext2 nor either GPT header is left for the system or a partition tool to find.
    for (const std::string& old : layout.formerly) {
      SCOPED_TRACE(old);
      const std::string target = dir.file("t.img");
      runOrThrow("rm -f " + shellQuote(target) + " && truncate -s 80M " + shellQuote(target) + " && " + old + " " +
                 shellQuote(target));
      std::vector<std::string> erased;
      ASSERT_EQ(runImager(openDisk(target), [&](DiskImager& i) {
                  return i.startWritingImage(image, true, false, false, [&](std::shared_ptr<IDisk> d) {
                    erased = SignatureEraser::eraseForeign(*d, image);
                  });
                }),
                "finished");
      EXPECT_EQ(erased.size(), old[0] == 'm' ? 1u : 2u);
      EXPECT_EQ(capture("blkid -p -o value -s PTTYPE " + shellQuote(target)), "dos\n");
      EXPECT_EQ(capture("blkid -p -o value -s TYPE " + shellQuote(target)), "");
    }
  }
}

}  // namespace
}  // namespace vantor::test

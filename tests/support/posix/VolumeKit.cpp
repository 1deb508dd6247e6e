// Volumes made, filled and read back by the file systems' own tools.
#include "support/VolumeKit.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

// Files of mixed sizes, many small ones, two grown in turns (so that they fragment) and
// files deleted, written into the mounted file system at $1.
const char* const FILL_SCRIPT = R"(set -e; cd "$1"
: > empty
head -c 1234 /dev/urandom > small.txt
mkdir -p dir/sub many
for i in $(seq 1 200); do head -c $((i * 397 % 9000)) /dev/urandom > many/f$i; done
head -c 300000 /dev/urandom > dir/sub/medium.bin
for i in $(seq 1 12); do head -c 65536 /dev/urandom >> frag-a; sync; head -c 65536 /dev/urandom >> frag-b; sync; done
for i in 1 2 3 4 5; do head -c 524288 /dev/urandom > tmp$i; done
head -c 3000000 /dev/urandom > dir/big.bin
sync; rm tmp2 tmp4 many/f*[05]; sync)";

// Runs `use(mount point)` with the volume file `volume` mounted by its own driver, through
// a loop device, which unmounts it (lazily, when busy) when it goes, also when `use` throws.
template <class Use>
void withMounted(const std::string& dir, const std::string& volume, VolumeKind kind, bool readOnly, Use use) {
  const std::string point = dir + "/mnt";
  std::string why;
  auto loop = LoopDevice::attach(volume, 512, why, readOnly, false);
  if (!loop) throw std::runtime_error("no loop device: " + why);
  const bool fuse = kind == VolumeKind::Ntfs || kind == VolumeKind::Exfat;
  const std::string driver = kind == VolumeKind::Ntfs ? "ntfs-3g " : fuse ? "mount.exfat-fuse " : "mount -t ext4 ";
  const std::string options = !readOnly ? "" : fuse ? "-o ro " : "-o ro,noload ";
  std::filesystem::create_directories(point);
  runOrThrow(driver + options + shellQuote(loop->path()) + " " + shellQuote(point));
  use(point);
}

bool isFat(VolumeKind kind) { return kind == VolumeKind::Fat16 || kind == VolumeKind::Fat32; }

}  // namespace

const char* nameOf(VolumeKind kind) {
  // In VolumeKind's order.
  static const char* const NAMES[] = {"fat16", "fat32", "exfat", "ntfs", "ext2", "ext3", "ext4", "swap"};
  return NAMES[static_cast<int>(kind)];
}

std::string VolumeKit::unavailable() {
  if (!isRoot()) return "making file systems through their drivers needs root (loop devices, FUSE)";
  for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "fsck.exfat", "mkntfs", "ntfs-3g", "ntfsfix", "mkfs.ext4",
                           "e2fsck", "mkfs.fat", "fsck.fat", "mcopy", "sgdisk", "sfdisk", "mkswap"}) {
    if (run(std::string("command -v ") + tool + " >/dev/null") != 0) return std::string(tool) + " is not installed";
  }
  return std::filesystem::exists("/dev/fuse") ? "" : "no /dev/fuse";
}

void VolumeKit::make(const std::string& path, VolumeKind kind, u64 sectors, u64 hiddenSectors,
                     const std::string& mkfsOptions, u32 sectorSize) const {
  const std::string q = shellQuote(path), options = mkfsOptions + " ";
  runOrThrow("rm -f " + q + " && truncate -s " + std::to_string(sectors * 512) + " " + q);
  const std::string hidden = std::to_string(hiddenSectors);
  if (isFat(kind)) {
    runOrThrow("mkfs.fat -F " + std::string(kind == VolumeKind::Fat16 ? "16" : "32 -s 1") + " -h " + hidden + " " +
               options + q);
    // Filled in a folder, copied in (mcopy writes each file in one piece), two files deleted.
    const std::string tree = shellQuote(dir_ + "/fat-tree");
    runOrThrow("mkdir -p " + tree + " && bash -c " + shellQuote(FILL_SCRIPT) + " fill " + tree + " && mcopy -s -i " + q +
               " " + tree + "/* ::/ && mdel -i " + q + " ::/tmp1 ::/tmp3 && rm -rf " + tree);
    return;
  }
  if (kind == VolumeKind::Swap) return (void)runOrThrow("mkswap " + q);
  if (kind == VolumeKind::Exfat) {  // it takes the sector size from its device
    std::string why;
    const auto loop = LoopDevice::attach(path, sectorSize, why, false, false);
    if (!loop) throw std::runtime_error("no loop device: " + why);
    runOrThrow("mkfs.exfat " + options + shellQuote(loop->path()));
  } else {
    runOrThrow(kind == VolumeKind::Ntfs ? "mkntfs -F -Q -q -p " + hidden + " " + options + q
                                        : "mkfs." + std::string(nameOf(kind)) + " -q -F " + options + q);
  }
  withMounted(dir_, path, kind, false, [](const std::string& point) {
    runOrThrow("bash -c " + shellQuote(FILL_SCRIPT) + " fill " + shellQuote(point));
  });
}

void VolumeKit::place(const std::string& volume, const std::string& disk, u64 firstSector) {
  runOrThrow("dd if=" + shellQuote(volume) + " of=" + shellQuote(disk) + " bs=512 seek=" + std::to_string(firstSector) +
             " conv=notrunc,sparse status=none");
}

std::string VolumeKit::extract(const std::string& disk, u64 firstSector, u64 sectors) const {
  const std::string volume = dir_ + "/extracted.img";
  runOrThrow("rm -f " + shellQuote(volume) + " && dd if=" + shellQuote(disk) + " of=" + shellQuote(volume) +
             " bs=512 skip=" + std::to_string(firstSector) + " count=" + std::to_string(sectors) +
             " conv=sparse status=none");
  return volume;
}

std::string VolumeKit::problems(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const {
  // In VolumeKind's order; swap has no checker.
  static const char* const CHECKERS[] = {"fsck.fat", "fsck.fat", "fsck.exfat", "ntfsfix", "e2fsck -f", "e2fsck -f",
                                         "e2fsck -f", nullptr};
  if (kind == VolumeKind::Swap) return "";
  const std::string command = std::string(CHECKERS[static_cast<int>(kind)]) + " -n " +
                              shellQuote(extract(disk, firstSector, sectors)), log = dir_ + "/checker.log";
  return run(command + " >" + shellQuote(log) + " 2>&1") == 0 ? "" : command + ":\n" + readFile(log);
}

std::string VolumeKit::digests(const std::string& disk, u64 firstSector, u64 sectors, VolumeKind kind) const {
  const std::string volume = extract(disk, firstSector, sectors);
  const std::string list = "find . -type f -print0 | sort -z | xargs -0 -r sha256sum";
  if (kind == VolumeKind::Swap) return runOrThrow("sha256sum < " + shellQuote(volume));
  if (isFat(kind)) {
    const std::string tree = shellQuote(dir_ + "/fat-out");
    return runOrThrow("rm -rf " + tree + " && mkdir " + tree + " && mcopy -s -n -i " + shellQuote(volume) + " ::/ " +
                      tree + " && cd " + tree + " && " + list);
  }
  std::string out;
  withMounted(dir_, volume, kind, true,
              [&](const std::string& point) { out = runOrThrow("cd " + shellQuote(point) + " && " + list); });
  return out;
}

std::string VolumeKit::mappedCopyProblems(const std::string& disk, u32 sectorSize, const SectorMap& map,
                                          u64 firstSector, u64 sectors, VolumeKind kind) const {
  const u64 begin = firstSector * 512, end = begin + sectors * 512;
  const std::string copy = dir_ + "/mapped-copy.img";
  runOrThrow("head -c " + std::to_string(end) + " /dev/urandom > " + shellQuote(copy));
  {
    std::ifstream in(disk, std::ios::binary);
    std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<char> bytes;
    for (u32 i = 0; i < map.size(); ++i) {
      const u64 at = u64(map[i].firstSector) * sectorSize, n = u64(map[i].numSectors) * sectorSize;
      if (at < begin || at + n > end) return "run " + std::to_string(i) + " leaves the volume";
      bytes.resize(n);
      in.seekg(std::streamoff(at)).read(bytes.data(), std::streamsize(n));
      out.seekp(std::streamoff(at)).write(bytes.data(), std::streamsize(n));
    }
    if (!in || !out) throw std::runtime_error("cannot copy the mapped sectors of " + disk);
  }
  const std::string verdict = problems(copy, firstSector, sectors, kind);
  if (!verdict.empty()) return verdict;
  const std::string files = digests(disk, firstSector, sectors, kind);
  const std::string copied = digests(copy, firstSector, sectors, kind);
  if (files.empty()) return "no files in the volume";
  return copied == files ? "" : "files differ; in the volume:\n" + files + "in the copy:\n" + copied;
}

std::string describe(const SectorMap& map) {
  std::string out;
  for (u32 i = 0; i < map.size(); ++i) {
    out += std::to_string(map[i].firstSector) + " " + std::to_string(map[i].numSectors) + "\n";
  }
  return out;
}

void addBytes(SectorMap& map, u64 first, u32 sectorSize, u64 offset, u64 n) {
  const u64 from = first + offset / sectorSize, to = first + (offset + n + sectorSize - 1) / sectorSize;
  addSectorRange(map, makeSectorRange(u32(from), u32(to - from)));
}

FakeDisk fakeDiskWith(const std::string& volume, u64 first, u32 sectors) {
  FakeDisk disk(512, sectors);
  const std::string zeros(512, '\0');
  for (std::size_t at = 0; at < volume.size(); at += 512) {
    if (volume.compare(at, 512, zeros) != 0) disk.put(first * 512 + at, volume.data() + at, 512);
  }
  return disk;
}

}  // namespace vantor::test

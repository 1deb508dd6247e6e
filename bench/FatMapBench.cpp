// Mapping the FAT of a large FAT32 volume: one read of the whole first FAT, then a walk
// that adds each used cluster to the sector map. The volume is a sparse file holding a
// synthetic boot sector and a first FAT in which half the clusters lie in chains of
// random length, separated by free stretches of random length. The walk should be
// linear in the number of clusters: compare the time per cluster across the sizes.
//
//   build-*/bench/FatMapBench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/FatVolumeMapper.h>
#include <libVantor/LittleEndian.h>

namespace vantor {
namespace {

constexpr u32 RESERVED = 32;
constexpr u32 FATS = 2;

struct Volume {
  std::string directory;
  std::string path;
  u32 clusters = 0;
  u32 usedClusters = 0;

  ~Volume() {
    std::error_code ec;
    if (!directory.empty()) std::filesystem::remove_all(directory, ec);
  }
};

// A sparse file of `sectors` sectors with a FAT32 volume at sector 0 of clusters of
// `sectorsPerCluster` sectors.
void makeVolume(Volume& v, u64 sectors, u32 sectorsPerCluster) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantor-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  v.directory = pattern;
  v.path = pattern + "/volume.img";

  // Sectors per FAT as the FAT format sizes it: enough 4-byte entries for every cluster.
  const u64 clusterGuess = sectors / sectorsPerCluster;
  const u32 sectorsPerFat = static_cast<u32>(((clusterGuess + 2) * 4 + 511) / 512);
  const u64 dataSectors = sectors - RESERVED - u64(FATS) * sectorsPerFat;
  v.clusters = static_cast<u32>(dataSectors / sectorsPerCluster);

  std::vector<u8> boot(512, 0);
  writeLE16(&boot[11], 512);
  boot[13] = static_cast<u8>(sectorsPerCluster);
  writeLE16(&boot[14], RESERVED);
  boot[16] = FATS;
  boot[21] = 0xF8;
  writeLE32(&boot[32], static_cast<u32>(sectors));
  writeLE32(&boot[36], sectorsPerFat);
  writeLE32(&boot[44], 2);  // root directory cluster
  std::copy_n("FAT32   ", 8, reinterpret_cast<char*>(&boot[82]));
  boot[510] = 0x55;
  boot[511] = 0xAA;

  std::vector<u8> fat(std::size_t(sectorsPerFat) * 512, 0);
  writeLE32(&fat[0], 0x0FFFFFF8);
  writeLE32(&fat[4], 0x0FFFFFFF);
  std::mt19937 random(42);
  u32 c = 2;
  bool inChain = true;
  while (c < v.clusters + 2) {
    const u32 length = std::min<u32>(1 + random() % 128, v.clusters + 2 - c);
    for (u32 i = 0; i < length; ++i, ++c) {
      if (!inChain) continue;
      writeLE32(&fat[std::size_t(c) * 4], i + 1 == length ? 0x0FFFFFFF : c + 1);
      ++v.usedClusters;
    }
    inChain = !inChain;
  }

  {
    std::ofstream out(v.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(boot.data()), 512);
    out.seekp(std::streamoff(RESERVED) * 512);
    out.write(reinterpret_cast<const char*>(fat.data()), static_cast<std::streamsize>(fat.size()));
    if (!out) throw std::runtime_error("cannot write " + v.path);
  }
  std::filesystem::resize_file(v.path, sectors * 512);
}

// Arguments: volume size in GiB, sectors per cluster.
void BM_Fat32GetSectorMap(benchmark::State& state) {
  const u64 sectors = (u64(state.range(0)) << 30) / 512;
  Volume volume;
  makeVolume(volume, sectors, static_cast<u32>(state.range(1)));
  WinDiskFile disk(volume.path, WinDiskFile::OpenExisting, 512, 0);
  if (!disk.isOpen()) {
    state.SkipWithError("cannot open the volume file");
    return;
  }
  FatVolumeMapper mapper(disk, 0x0C, 0);
  u32 runs = 0;
  for (auto _ : state) {
    const SectorMap map = mapper.getSectorMap();
    runs = map.size();
    benchmark::DoNotOptimize(runs);
  }
  state.SetItemsProcessed(state.iterations() * volume.clusters);
  state.counters["clusters"] = volume.clusters;
  state.counters["used"] = volume.usedClusters;
  state.counters["runs"] = runs;
  state.counters["ns/cluster"] = benchmark::Counter(double(volume.clusters) * state.iterations(),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                                                    benchmark::Counter::kIs1000);
}

BENCHMARK(BM_Fat32GetSectorMap)
    ->ArgNames({"GiB", "spc"})
    ->Args({32, 64})
    ->Args({8, 8})
    ->Args({16, 8})
    ->Args({32, 8})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantor

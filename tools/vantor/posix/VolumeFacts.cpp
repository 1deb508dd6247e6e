#include "../VolumeFacts.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <type_traits>

#include "SysfsAttribute.h"

namespace vantor::cli {
namespace fs = std::filesystem;
namespace {

struct ProbeFree {
  void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeFree>;

void probe(VolumeFacts& volume) {
  const Probe probe(blkid_new_probe_from_filename(volume.node.c_str()));
  if (!probe || blkid_probe_enable_superblocks(probe.get(), 1) != 0 ||
      blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID) != 0 ||
      blkid_do_safeprobe(probe.get()) != 0) {
    return;
  }
  const auto value = [&probe](const char* name) {
    const char* data = nullptr;
    return blkid_probe_lookup_value(probe.get(), name, &data, nullptr) == 0 && data ? std::string(data) : std::string();
  };
  volume.fileSystem = value("TYPE");
  volume.label = value("LABEL");
  volume.uuid = value("UUID");
}

}  // namespace

std::vector<VolumeFacts> VolumeFacts::partitionsOf(const std::string& kernelName) {
  std::vector<std::pair<std::uint64_t, VolumeFacts>> partitions;  // by partition number
  std::error_code ec;
  for (fs::directory_iterator it(fs::path("/sys/class/block") / kernelName, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::uint64_t number = SysfsAttribute::number(it->path() / "partition");
    if (number == 0) continue;
    VolumeFacts volume;
    volume.node = "/dev/" + it->path().filename().string();
    // sysfs counts in 512-byte units whatever the sector size.
    volume.firstByte = SysfsAttribute::number(it->path() / "start") * 512;
    volume.byteCount = SysfsAttribute::number(it->path() / "size") * 512;
    probe(volume);
    partitions.emplace_back(number, std::move(volume));
  }
  std::sort(partitions.begin(), partitions.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<VolumeFacts> volumes;
  for (auto& partition : partitions) volumes.push_back(std::move(partition.second));
  return volumes;
}

std::vector<VolumeFacts> VolumeFacts::ofDevice(const std::string& kernelName) {
  std::vector<VolumeFacts> volumes = partitionsOf(kernelName);
  if (volumes.empty()) {
    VolumeFacts whole;
    whole.node = "/dev/" + kernelName;
    whole.byteCount = SysfsAttribute::number(fs::path("/sys/class/block") / kernelName / "size") * 512;
    probe(whole);
    if (!whole.fileSystem.empty()) volumes.push_back(std::move(whole));
  }
  return volumes;
}

}  // namespace vantor::cli

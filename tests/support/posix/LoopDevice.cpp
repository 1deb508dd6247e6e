// Loop devices through losetup(8) and partx(8), file systems and mounts through
// mkfs.ext2(8), mkfs.fat(8), mount(8), umount(8) and findmnt(8).
#include "support/LoopDevice.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "support/TempDir.h"

namespace vantor::test {
namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::create(const std::string& directory, const Options& options,
                                               std::string& whyNot) {
  const std::string file = directory + "/disk.img";
  writeFile(file, "");
  std::filesystem::resize_file(file, options.sizeBytes);
  if (!options.sfdiskScript.empty() && run("printf %s " + shellQuote(options.sfdiskScript) + " | sfdisk -q " +
                                           shellQuote(file) + " >/dev/null 2>&1") != 0) {
    whyNot = "sfdisk refused the table";
    return nullptr;
  }
  return attach(file, options.sectorSize, whyNot);
}

std::unique_ptr<LoopDevice> LoopDevice::attach(const std::string& file, u32 sectorSize, std::string& whyNot,
                                               bool readOnly, bool scanPartitions) {
  if (!isRoot()) {
    whyNot = "loop devices and mounts need root";
    return nullptr;
  }
  const std::string path = trimmed(capture("losetup -f --show --sector-size " + std::to_string(sectorSize) +
                                           (scanPartitions ? " -P" : "") + (readOnly ? " -r " : " ") +
                                           shellQuote(file) + " 2>/dev/null"));
  if (path.rfind("/dev/loop", 0) != 0) {
    whyNot = "losetup could not attach a loop device";
    return nullptr;
  }
  // The backing file as the kernel names it.
  std::unique_ptr<LoopDevice> device(new LoopDevice(path, std::filesystem::weakly_canonical(file).string()));
  if (scanPartitions && !std::filesystem::exists(device->partition(1))) {
    (void)run("partx -a " + path + " >/dev/null 2>&1");  // the kernel may not parse the table itself
  }
  return device;
}

LoopDevice::~LoopDevice() {
  // Every mount of the device and its partitions, children before their parents: the
  // mount table lists them later.
  std::vector<std::string> mine;
  std::ifstream table("/proc/self/mounts");
  for (std::string source, target, rest; table >> source >> target && std::getline(table, rest);) {
    if (source == path_ || source.rfind(path_ + "p", 0) == 0) mine.insert(mine.begin(), target);
  }
  for (const std::string& target : mine) {
    (void)run("umount " + shellQuote(target) + " 2>/dev/null || umount -l " + shellQuote(target) + " 2>/dev/null");
  }
  (void)run("partx -d " + path_ + " >/dev/null 2>&1");
  (void)run("losetup -d " + path_ + " >/dev/null 2>&1");
}

bool LoopDevice::makeFs(const std::string& type, const std::string& node, const std::string& label) {
  std::string options = type == "ext2" ? " -q -F" : "";
  if (!label.empty()) options += (type == "ext2" ? " -L " : " -n ") + shellQuote(label);
  return run("mkfs." + type + options + " " + shellQuote(node) + " >/dev/null 2>&1") == 0;
}

bool LoopDevice::mount(const std::string& node, const std::string& directory, const std::string& options) {
  std::filesystem::create_directories(directory);
  const std::string with = options.empty() ? std::string() : " -o " + options;
  return run("mount" + with + " " + shellQuote(node) + " " + shellQuote(directory) + " >/dev/null 2>&1") == 0;
}

std::string LoopDevice::mountAt(const std::string& directory) {
  return trimmed(capture("findmnt -m -n -o SOURCE,FSTYPE,OPTIONS,PROPAGATION --mountpoint " + shellQuote(directory) +
                         " 2>/dev/null"));
}

}  // namespace vantor::test

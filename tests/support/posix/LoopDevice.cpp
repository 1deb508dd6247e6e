#include "support/LoopDevice.h"

#include <libmount/libmount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "support/TempDir.h"

namespace vantor::test {
namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

struct Mount {
  std::string source;
  std::string target;
};

struct TableFree {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterFree {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};

std::vector<Mount> mountTable() {
  std::vector<Mount> mounts;
  std::unique_ptr<libmnt_table, TableFree> table(mnt_new_table());
  std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
  if (!table || !iter || mnt_table_parse_mtab(table.get(), nullptr) != 0) return mounts;
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    const char* source = mnt_fs_get_source(fs);
    const char* target = mnt_fs_get_target(fs);
    if (source && target) mounts.push_back({source, target});
  }
  return mounts;
}

}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::create(const std::string& directory, const Options& options,
                                               std::string& whyNot) {
  if (!isRoot()) {
    whyNot = "loop devices and mounts need root";
    return nullptr;
  }
  const std::string file = directory + "/disk.img";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
  }
  std::error_code ec;
  std::filesystem::resize_file(file, options.sizeBytes, ec);
  if (ec) {
    whyNot = "cannot size " + file + ": " + ec.message();
    return nullptr;
  }
  if (!options.sfdiskScript.empty()) {
    writeFile(directory + "/table.sfdisk", options.sfdiskScript);
    if (run("sfdisk -q " + shellQuoted(file) + " < " + shellQuoted(directory + "/table.sfdisk") + " >/dev/null 2>&1") != 0) {
      whyNot = "sfdisk refused the table";
      return nullptr;
    }
  }
  return attach(file, options.sectorSize, whyNot);
}

std::unique_ptr<LoopDevice> LoopDevice::attach(const std::string& file, u32 sectorSize, std::string& whyNot,
                                               bool readOnly, bool scanPartitions) {
  if (!isRoot()) {
    whyNot = "loop devices and mounts need root";
    return nullptr;
  }
  const std::string sectorOption = sectorSize != 512 ? " --sector-size " + std::to_string(sectorSize) : std::string();
  const std::string path = trimmed(capture(std::string("losetup -f --show") + (scanPartitions ? " -P" : "") +
                                           (readOnly ? " -r" : "") + sectorOption + " " + shellQuoted(file) +
                                           " 2>/dev/null"));
  if (path.rfind("/dev/loop", 0) != 0) {
    whyNot = "losetup could not attach a loop device (" + path + ")";
    return nullptr;
  }
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(file, ec);  // as the kernel names it
  std::unique_ptr<LoopDevice> device(new LoopDevice(path, ec ? file : canonical.string()));
  if (scanPartitions && !std::filesystem::exists(device->partition(1))) {
    (void)run("partx -a " + path + " >/dev/null 2>&1");  // the kernel may not parse the table itself
  }
  return device;
}

LoopDevice::~LoopDevice() {
  unmountAll();
  (void)run("partx -d " + path_ + " >/dev/null 2>&1");
  (void)run("losetup -d " + path_ + " >/dev/null 2>&1");
  // Detaching waits for the last opener to close the device: wait for that (bounded),
  // so that whatever holds the file (a FUSE mount) can be taken down next.
  const std::string backing = "/sys/block/" + name() + "/loop/backing_file";
  for (int i = 0; i < 100 && trimmed(readFile(backing)) == file_; ++i) ::usleep(50 * 1000);
}

void LoopDevice::unmountAll() const {
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<Mount> mine;
    for (const Mount& m : mountTable()) {
      if (m.source == path_ || m.source.rfind(path_ + "p", 0) == 0) mine.push_back(m);
    }
    if (mine.empty()) return;
    for (auto it = mine.rbegin(); it != mine.rend(); ++it) {
      if (run("umount " + shellQuoted(it->target) + " >/dev/null 2>&1") != 0) {
        (void)run("umount -l " + shellQuoted(it->target) + " >/dev/null 2>&1");
      }
    }
  }
}

bool LoopDevice::makeExt2(const std::string& node, const std::string& label) {
  const std::string withLabel = label.empty() ? std::string() : " -L " + shellQuoted(label);
  return run("mkfs.ext2 -q -F" + withLabel + " " + shellQuoted(node) + " >/dev/null 2>&1") == 0;
}

bool LoopDevice::makeFat(const std::string& node, const std::string& label) {
  return run("mkfs.fat -n " + shellQuoted(label) + " " + shellQuoted(node) + " >/dev/null 2>&1") == 0;
}

bool LoopDevice::mount(const std::string& node, const std::string& directory, const std::string& options) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  const std::string with = options.empty() ? std::string() : " -o " + options;
  return run("mount" + with + " " + shellQuoted(node) + " " + shellQuoted(directory) + " >/dev/null 2>&1") == 0;
}

std::string LoopDevice::mountAt(const std::string& directory) {
  return trimmed(capture("findmnt -n -o SOURCE,FSTYPE,OPTIONS --mountpoint " + shellQuoted(directory) + " 2>/dev/null"));
}

}  // namespace vantor::test

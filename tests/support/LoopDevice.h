// tests/support/LoopDevice.h
// A real block device for tests: a loop device over a file in a test's temporary
// directory, optionally partitioned (sfdisk) with its partition nodes made (partx -a), or
// over any existing file (attach). When the object goes, also after a failed test, every
// mount of the device and its partitions is unmounted, the partition nodes removed and
// the device detached (at once, or when its last opener closes it).
// create() and attach() answer null with the reason where loop devices cannot be made
// (not root, losetup refused), for GTEST_SKIP. Built on Linux only.
#pragma once
#include <memory>
#include <string>

#include <libVantor/Types.h>

namespace vantor::test {

class LoopDevice {
 public:
  struct Options {
    u64 sizeBytes = 64ull << 20;
    u32 sectorSize = 512;      // the device's logical block size (losetup --sector-size)
    std::string sfdiskScript;  // written onto the file before it is attached, when not empty
  };

  static std::unique_ptr<LoopDevice> create(const std::string& directory, const Options& options, std::string& whyNot);
  // A loop device over `file` as it is, with the nodes of the partitions its table
  // describes. With `readOnly` the device refuses writes (losetup -r); without `scanPartitions` it
  // is attached without partition scanning and no partition nodes are made.
  static std::unique_ptr<LoopDevice> attach(const std::string& file, u32 sectorSize, std::string& whyNot,
                                            bool readOnly = false, bool scanPartitions = true);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& path() const { return path_; }              // "/dev/loopN"
  std::string name() const { return path_.substr(5); }            // "loopN"
  std::string partition(int n) const { return path_ + "p" + std::to_string(n); }
  const std::string& backingFile() const { return file_; }

  // mkfs.TYPE ("ext2" or "fat") on `node` (the device or one of its partitions), labelled
  // `label` when that is not empty; true on success.
  static bool makeFs(const std::string& type, const std::string& node, const std::string& label = "");
  // Mounts `node` at `directory` (created) with `options` (may be empty).
  static bool mount(const std::string& node, const std::string& directory, const std::string& options = "");
  // The mount at `directory` as mount(8) sees it: "SOURCE FSTYPE OPTIONS PROPAGATION", the
  // options with utab's, or empty.
  static std::string mountAt(const std::string& directory);

 private:
  LoopDevice(std::string path, std::string file) : path_(std::move(path)), file_(std::move(file)) {}

  std::string path_;
  std::string file_;
};

}  // namespace vantor::test

// tools/vantor/VolumeFacts.h
// The volumes of a drive as the host lists them, with the file system found on each.
// Plain values.
//  - Linux (posix/VolumeFacts.cpp): the device's partitions in partition-number order, or
//    the whole device when it has none and holds a file system, each probed read-only by
//    libblkid (superblocks only, no cache file); a node that does not open, or holds
//    nothing libblkid recognises for certain, has no type, label or UUID.
//  - Windows (windows/VolumeFacts.cpp): no volumes are listed yet; the listing shows the
//    drive alone.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::cli {

class VolumeFacts {
 public:
  // The volumes of the block device whose kernel name is `kernelName` ("sdb", "loop3").
  static std::vector<VolumeFacts> ofDevice(const std::string& kernelName);
  // Its partitions alone.
  static std::vector<VolumeFacts> partitionsOf(const std::string& kernelName);

  // "vfat 'PHOTOS'", "ext2", or "" when no file system was recognised.
  std::string summary() const {
    if (fileSystem.empty()) return std::string();
    return label.empty() ? fileSystem : fileSystem + " '" + label + "'";
  }

  std::string node;              // "/dev/sdb1"
  std::uint64_t firstByte = 0;   // where the volume starts on the device
  std::uint64_t byteCount = 0;
  std::string fileSystem;        // "vfat", "ext2"; empty when none was recognised
  std::string label;             // empty when the file system has none
  std::string uuid;
};

}  // namespace vantor::cli

// tools/vantor/VolumeFacts.h
// The volumes of a block device as the host lists them, with what libblkid finds on
// each: the device's partitions in partition-number order, or the whole device when it
// has none and holds a file system. Each node is probed read-only (low-level superblock
// probing, no cache file); a node that does not open, or holds nothing libblkid
// recognises for certain, has no type, label or UUID. Plain values.
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
  std::string summary() const;

  std::string node;              // "/dev/sdb1"
  std::uint64_t firstByte = 0;   // where the volume starts on the device
  std::uint64_t byteCount = 0;
  std::string fileSystem;        // "vfat", "ext2"; empty when none was recognised
  std::string label;             // empty when the file system has none
  std::string uuid;
};

}  // namespace vantor::cli

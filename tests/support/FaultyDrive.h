// tests/support/FaultyDrive.h
// A real block device that fails where the test says: a loop device over the "disk" file
// of a FaultFs daemon (tests/support/FaultFs.cpp) mounted in the object's own temporary
// directory, its bytes kept in a regular file beside it. Every transfer on the loop
// device reaches the daemon, which fails, corrupts or holds the requests that its current
// faults name; arm() changes them while everything runs. A `layout` step may write the
// disk through the served file (sfdisk, mkfs.fat, mtools) before the loop device is
// attached, so that the kernel gets the nodes of its partitions.
// When the object goes, also after a failed test or a killed daemon: every mount of the
// device and its partitions is unmounted, the partition nodes removed, the loop device
// detached, the FUSE mount unmounted (lazily if it is still busy) and the daemon reaped.
// create() answers null with the reason where this cannot work here (not root, no
// /dev/fuse, no fusermount3, built without libfuse3, no loop device), for GTEST_SKIP.
#pragma once
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include <libVantor/Types.h>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor::test {

class FaultyDrive {
 public:
  static constexpr u32 SECTOR_SIZE = 512;

  struct Options {
    u64 sizeBytes = 32ull << 20;
    std::function<void(const std::string& servedFile)> layout;  // may throw; runs before the attach
  };

  static std::unique_ptr<FaultyDrive> create(const Options& options, std::string& whyNot);
  ~FaultyDrive();
  FaultyDrive(const FaultyDrive&) = delete;
  FaultyDrive& operator=(const FaultyDrive&) = delete;

  const std::string& path() const { return loop_->path(); }  // "/dev/loopN"
  std::string partition(int n) const { return loop_->partition(n); }
  const std::string& servedFile() const { return served_; }    // through the daemon
  const std::string& backingFile() const { return backing_; }  // the bytes, without the daemon
  const TempDir& dir() const { return dir_; }

  // Sends FaultFs commands ("fail write 1048576 512", "clear", ...); false when refused.
  bool arm(const std::string& commands) const;
  // " OFFSET LENGTH" in bytes of `count` sectors from `first`: the range of a command.
  static std::string sectors(u64 first, u64 count = 1);
  // How many requests on the disk are held by a "stall" now; -1 when the daemon is gone.
  int stalledRequests() const;
  // SIGKILL: the device then answers every transfer with EIO.
  void killDaemon();

 private:
  FaultyDrive() = default;

  TempDir dir_;  // declared first: goes last
  std::string backing_, mountPoint_, served_, control_;
  pid_t daemon_ = -1;
  std::unique_ptr<LoopDevice> loop_;
};

}  // namespace vantor::test

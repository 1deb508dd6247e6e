// tests/support/FaultyDrive.h
// A real block device that fails where the test says: a loop device over the "disk" file
// of a FaultFs daemon (tests/support/posix/FaultFs.cpp) mounted in the object's own
// temporary directory, its bytes kept in a regular file beside it. Every transfer on the
// loop device reaches the daemon, which fails, corrupts or dies on the requests that its
// current rules name; arm() replaces them while everything runs. A `layout` step may
// write the disk through the served file (sfdisk, mkfs.fat, mtools) before the loop
// device is attached, so that the kernel gets the nodes of its partitions.
// When the object goes, also after a failed test or a vanished daemon: the loop device
// is detached (LoopDevice) and the FUSE mount unmounted (lazily if still busy), which
// ends the daemon. create() answers null with the reason where this cannot work here
// (not root, no /dev/fuse, built without libfuse3, no loop device), for GTEST_SKIP.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <libVantor/Types.h>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor::test {

class FaultyDrive {
 public:
  using Layout = std::function<void(const std::string& servedFile)>;  // may throw
  static std::unique_ptr<FaultyDrive> create(u64 sizeBytes, const Layout& layout, std::string& whyNot);
  ~FaultyDrive();
  FaultyDrive(const FaultyDrive&) = delete;
  FaultyDrive& operator=(const FaultyDrive&) = delete;

  const std::string& path() const { return loop_->path(); }    // "/dev/loopN"
  const std::string& backingFile() const { return backing_; }  // the bytes, without the daemon
  // Replaces the daemon's rules, "WHAT OFFSET LENGTH" a line (see FaultFs); "" for none.
  void arm(const std::string& rules) const;
  // " OFFSET LENGTH" in bytes of `count` 512-byte sectors from `first`: a rule's range.
  static std::string sectors(u64 first, u64 count = 1);

 private:
  FaultyDrive() = default;

  TempDir dir_;  // declared first: goes last
  std::string backing_, mountPoint_;
  std::unique_ptr<LoopDevice> loop_;
};

}  // namespace vantor::test

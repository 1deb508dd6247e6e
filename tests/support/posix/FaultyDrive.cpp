#include "support/FaultyDrive.h"

#include <unistd.h>

#include <filesystem>

namespace vantor::test {

std::unique_ptr<FaultyDrive> FaultyDrive::create(u64 sizeBytes, const Layout& layout, std::string& whyNot) {
#ifndef VANTOR_FAULTFS
  (void)sizeBytes;
  (void)layout;
  whyNot = "built without libfuse3 (scripts/setup.sh installs libfuse3-dev and fuse3)";
  return nullptr;
#else
  if (!isRoot() || ::access("/dev/fuse", R_OK | W_OK) != 0) {
    whyNot = "FUSE mounts and loop devices need root and a usable /dev/fuse";
    return nullptr;
  }
  std::unique_ptr<FaultyDrive> drive(new FaultyDrive);
  drive->backing_ = drive->dir_.file("backing.img");
  drive->mountPoint_ = drive->dir_.file("mnt");
  writeFile(drive->backing_, "");
  std::filesystem::resize_file(drive->backing_, sizeBytes);
  std::filesystem::create_directory(drive->mountPoint_);
  if (run(shellQuote(VANTOR_FAULTFS) + " " + shellQuote(drive->backing_) + " " + shellQuote(drive->mountPoint_)) != 0) {
    whyNot = "FaultFs did not mount";
    return nullptr;
  }
  if (layout) layout(drive->mountPoint_ + "/disk");
  drive->loop_ = LoopDevice::attach(drive->mountPoint_ + "/disk", 512, whyNot);
  return drive->loop_ ? std::move(drive) : nullptr;
#endif
}

FaultyDrive::~FaultyDrive() {
  loop_.reset();
  const std::string mnt = shellQuote(mountPoint_);
  (void)run("umount " + mnt + " 2>/dev/null || umount -l " + mnt + " 2>/dev/null");
}

void FaultyDrive::arm(const std::string& rules) const {
  writeFile(backing_ + ".new-faults", rules);
  std::filesystem::rename(backing_ + ".new-faults", backing_ + ".faults");  // never seen half written
}

std::string FaultyDrive::sectors(u64 first, u64 count) {
  return " " + std::to_string(first * 512) + " " + std::to_string(count * 512);
}

}  // namespace vantor::test

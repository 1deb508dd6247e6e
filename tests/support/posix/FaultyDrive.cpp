#include "support/FaultyDrive.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "support/FatImage.h"

extern char** environ;

namespace vantor::test {

std::unique_ptr<FaultyDrive> FaultyDrive::create(const Options& options, std::string& whyNot) {
#ifndef VANTOR_FAULTFS
  (void)options;
  whyNot = "built without libfuse3 (scripts/setup.sh installs libfuse3-dev and fuse3)";
  return nullptr;
#else
  if (!isRoot()) {
    whyNot = "FUSE mounts and loop devices need root";
    return nullptr;
  }
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    whyNot = "no usable /dev/fuse";
    return nullptr;
  }
  if (run("command -v fusermount3 >/dev/null 2>&1") != 0) {
    whyNot = "fusermount3 is not installed";
    return nullptr;
  }
  std::unique_ptr<FaultyDrive> drive(new FaultyDrive);
  drive->backing_ = drive->dir_.file("backing.img");
  drive->mountPoint_ = drive->dir_.file("mnt");
  drive->served_ = drive->mountPoint_ + "/disk";
  drive->control_ = drive->mountPoint_ + "/control";
  writeFile(drive->backing_, "");
  std::filesystem::resize_file(drive->backing_, options.sizeBytes);
  std::filesystem::create_directory(drive->mountPoint_);

  const std::string log = drive->dir_.file("faultfs.log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const std::string program = VANTOR_FAULTFS;
  char* argv[] = {const_cast<char*>(program.c_str()), drive->backing_.data(), drive->mountPoint_.data(), nullptr};
  const int spawned = ::posix_spawn(&drive->daemon_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    drive->daemon_ = -1;
    whyNot = "cannot start " + program;
    return nullptr;
  }
  for (int i = 0; i < 200 && !std::filesystem::exists(drive->control_); ++i) {
    if (::waitpid(drive->daemon_, nullptr, WNOHANG) == drive->daemon_) {
      drive->daemon_ = -1;
      break;
    }
    ::usleep(50 * 1000);
  }
  if (!std::filesystem::exists(drive->control_)) {
    whyNot = "FaultFs did not mount: " + readFile(log);
    return nullptr;
  }
  if (options.layout) options.layout(drive->served_);
  drive->loop_ = LoopDevice::attach(drive->served_, SECTOR_SIZE, whyNot);
  if (!drive->loop_) return nullptr;
  return drive;
#endif
}

FaultyDrive::~FaultyDrive() {
  if (daemon_ > 0) (void)arm("clear");  // held requests go on, so that nothing below waits on them
  loop_.reset();
  if (!LoopDevice::mountAt(mountPoint_).empty() &&
      run("fusermount3 -u -q " + shellQuote(mountPoint_) + " >/dev/null 2>&1") != 0) {
    (void)run("umount -l " + shellQuote(mountPoint_) + " >/dev/null 2>&1");  // still in use somewhere
  }
  killDaemon();  // unmounted, it has nothing left to answer (and would take a second to notice)
}

bool FaultyDrive::arm(const std::string& commands) const {
  const int fd = ::open(control_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = commands + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
}

std::string FaultyDrive::sectors(u64 first, u64 count) {
  return " " + std::to_string(first * SECTOR_SIZE) + " " + std::to_string(count * SECTOR_SIZE);
}

int FaultyDrive::stalledRequests() const {
  std::istringstream status(readFile(control_));
  std::string word;
  int count = -1;
  while (status >> word) {
    if (word == "stalled") status >> count;
  }
  return count;
}

void FaultyDrive::killDaemon() {
  if (daemon_ <= 0) return;
  ::kill(daemon_, SIGKILL);
  (void)::waitpid(daemon_, nullptr, 0);
  daemon_ = -1;
}

}  // namespace vantor::test

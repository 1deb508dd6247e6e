// slow_drive: a FUSE file system that behaves like a USB key or an SD card, for benchmarks
// that want the speed of such a drive without one on the desk.
//
//   slow_drive --profile NAME BACKING MOUNTPOINT [FUSE options]   (stays in the foreground)
//   slow_drive --profile NAME --print-rates
//
// MOUNTPOINT shows two files:
//   drive  the bytes of BACKING (a regular file), read and written with pread/pwrite; a loop
//          device over it (losetup --direct-io=on) is a block device of the drive's speed.
//   stats  read-only text: the requests and bytes `drive` has served so far
//          ("reads N", "read_bytes N", "largest_read N", then the same for writes).
// What it promises:
//   - Every open is direct I/O (no page cache on this side), and the kernel may hand up to
//     1 MiB per request (max_read, max_write).
//   - One request at a time, as a mass-storage drive: a single lock is held for the whole
//     service of a request, which lasts the profile's fixed cost per request plus its bytes
//     at the read or write rate (the service sleeps until its start plus that cost). The
//     transfer from or to BACKING is done inside that time.
//   - A service starts when its request arrives, but never before the previous one ended. On
//     a busy machine this process may wake up late; that delay is not charged to the drive:
//     the next request's start counts from the time the previous one was due to end (its
//     arrival is taken as earlier by the previous wake-up's lateness). So the drive is never
//     faster than its profile, and its own timer delays do not make it slower either.
//   - A flush or fsync of `drive` costs nothing and does not sync BACKING: the written
//     bytes are in BACKING's page cache, as they would be in the drive once it acknowledged.
//   - Rates are in MB/s (10^6 bytes per second). --print-rates prints the profile as
//     "READ_BYTES_PER_S WRITE_BYTES_PER_S SECONDS_PER_REQUEST", for scripts to compute limits.
// Several drives are several processes, each with its own lock: they do not slow each other.
#define FUSE_USE_VERSION 35

#include <fuse3/fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Profile {
  const char* name;
  double readBytesPerSecond;
  double writeBytesPerSecond;
  double secondsPerRequest;
};

constexpr Profile PROFILES[] = {
    {"usb2-key", 35e6, 12e6, 1.0e-3},
    {"usb3-key", 180e6, 60e6, 0.3e-3},
    {"sd-card", 80e6, 25e6, 0.5e-3},
};

constexpr unsigned MAX_REQUEST_BYTES = 1u << 20;
constexpr off_t STATS_FILE_BYTES = 4096;

struct Drive {
  Profile profile{};
  int backing = -1;
  off_t size = 0;
  std::mutex busy;  // held for the whole service of a request to `drive`
  // Monotonic seconds at which the previous service was due to end, and how late this
  // process woke up from it.
  double readyAt = 0;
  double lateness = 0;
  std::uint64_t reads = 0, readBytes = 0, largestRead = 0;
  std::uint64_t writes = 0, writeBytes = 0, largestWrite = 0;
};

Drive drive;

enum class Node { Root, Drive, Stats, None };

Node nodeOf(const char* path) {
  if (std::strcmp(path, "/") == 0) return Node::Root;
  if (std::strcmp(path, "/drive") == 0) return Node::Drive;
  if (std::strcmp(path, "/stats") == 0) return Node::Stats;
  return Node::None;
}

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sleeps until the monotonic time `until` (seconds).
void sleepUntil(double until) {
  timespec at{};
  at.tv_sec = static_cast<time_t>(until);
  at.tv_nsec = static_cast<long>((until - static_cast<double>(at.tv_sec)) * 1e9);
  if (at.tv_nsec >= 1000000000L) at.tv_nsec = 999999999L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// The service window of a request of `bytes` at `bytesPerSecond`, with `drive.busy` held:
// returns its end, and books the drive until then.
double bookService(std::size_t bytes, double bytesPerSecond) {
  const double arrival = monotonicSeconds() - drive.lateness;
  const double start = std::max(arrival, drive.readyAt);
  drive.readyAt = start + drive.profile.secondsPerRequest + static_cast<double>(bytes) / bytesPerSecond;
  return drive.readyAt;
}

// Sleeps until `end`, with `drive.busy` held, and notes how late the wake-up was.
void finishService(double end) {
  sleepUntil(end);
  drive.lateness = std::max(0.0, monotonicSeconds() - end);
}

std::string statsText() {
  std::lock_guard<std::mutex> hold(drive.busy);
  return "reads " + std::to_string(drive.reads) + "\nread_bytes " + std::to_string(drive.readBytes) +
         "\nlargest_read " + std::to_string(drive.largestRead) + "\nwrites " + std::to_string(drive.writes) +
         "\nwrite_bytes " + std::to_string(drive.writeBytes) + "\nlargest_write " +
         std::to_string(drive.largestWrite) + "\n";
}

void* onInit(fuse_conn_info* conn, fuse_config* config) {
  conn->max_write = MAX_REQUEST_BYTES;
  conn->max_read = MAX_REQUEST_BYTES;
  config->direct_io = 1;
  config->kernel_cache = 0;
  return nullptr;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  switch (nodeOf(path)) {
    case Node::Root:
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return 0;
    case Node::Drive:
      st->st_mode = S_IFREG | 0644;
      st->st_nlink = 1;
      st->st_size = drive.size;
      return 0;
    case Node::Stats:
      st->st_mode = S_IFREG | 0444;
      st->st_nlink = 1;
      st->st_size = STATS_FILE_BYTES;
      return 0;
    case Node::None:
      break;
  }
  return -ENOENT;
}

int onReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (nodeOf(path) != Node::Root) return -ENOENT;
  for (const char* name : {".", "..", "drive", "stats"}) fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int onOpen(const char* path, fuse_file_info* info) {
  const Node node = nodeOf(path);
  if (node == Node::None) return -ENOENT;
  if (node == Node::Root) return -EISDIR;
  if (node == Node::Stats && (info->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
  if ((info->flags & O_TRUNC) != 0) return -EPERM;
  info->direct_io = 1;
  return 0;
}

int onRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  const Node node = nodeOf(path);
  if (node == Node::Stats) {
    const std::string text = statsText();
    if (offset >= static_cast<off_t>(text.size())) return 0;
    const size_t count = std::min(size, text.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, text.data() + offset, count);
    return static_cast<int>(count);
  }
  if (node != Node::Drive) return -ENOENT;
  std::lock_guard<std::mutex> hold(drive.busy);
  // A read past the end of the drive has nothing to give; otherwise it is whole.
  if (offset >= drive.size) return 0;
  if (static_cast<off_t>(size) > drive.size - offset) size = static_cast<size_t>(drive.size - offset);
  const double end = bookService(size, drive.profile.readBytesPerSecond);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(drive.backing, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -errno;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  drive.reads += 1;
  drive.readBytes += done;
  if (done > drive.largestRead) drive.largestRead = done;
  finishService(end);
  return static_cast<int>(done);
}

int onWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (nodeOf(path) != Node::Drive) return nodeOf(path) == Node::Stats ? -EACCES : -ENOENT;
  // A drive does not grow: a write past its end is refused, as a block device's is.
  if (offset >= drive.size) return -ENOSPC;
  if (static_cast<off_t>(size) > drive.size - offset) size = static_cast<size_t>(drive.size - offset);
  std::lock_guard<std::mutex> hold(drive.busy);
  const double end = bookService(size, drive.profile.writeBytesPerSecond);
  size_t done = 0;
  while (done < size) {
    const ssize_t put = pwrite(drive.backing, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return -errno;
    done += static_cast<size_t>(put);
  }
  drive.writes += 1;
  drive.writeBytes += done;
  if (done > drive.largestWrite) drive.largestWrite = done;
  finishService(end);
  return static_cast<int>(done);
}

int onTruncate(const char* path, off_t size, fuse_file_info*) {
  if (nodeOf(path) == Node::Drive && size == drive.size) return 0;
  return -EPERM;
}

// The drive acknowledged every write when it returned: nothing is left to flush.
int onFsync(const char*, int, fuse_file_info*) { return 0; }
int onFlush(const char*, fuse_file_info*) { return 0; }

const Profile* findProfile(const std::string& name) {
  for (const Profile& profile : PROFILES) {
    if (name == profile.name) return &profile;
  }
  return nullptr;
}

int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s --profile NAME BACKING MOUNTPOINT [FUSE options]\n"
               "       %s --profile NAME --print-rates\n"
               "profiles:",
               program, program);
  for (const Profile& profile : PROFILES) std::fprintf(stderr, " %s", profile.name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Profile* profile = nullptr;
  bool printRates = false;
  std::vector<std::string> positional;
  std::vector<std::string> fuseOptions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--profile" && i + 1 < argc) {
      profile = findProfile(argv[++i]);
      if (profile == nullptr) {
        std::fprintf(stderr, "slow_drive: unknown profile '%s'\n", argv[i]);
        return usage(argv[0]);
      }
    } else if (arg == "--print-rates") {
      printRates = true;
    } else if (!arg.empty() && arg[0] == '-') {
      fuseOptions.push_back(arg);
      if ((arg == "-o") && i + 1 < argc) fuseOptions.emplace_back(argv[++i]);
    } else {
      positional.push_back(arg);
    }
  }
  if (profile == nullptr) return usage(argv[0]);
  if (printRates) {
    std::printf("%.0f %.0f %.6f\n", profile->readBytesPerSecond, profile->writeBytesPerSecond,
                profile->secondsPerRequest);
    return 0;
  }
  if (positional.size() != 2) return usage(argv[0]);

  drive.profile = *profile;
  drive.backing = open(positional[0].c_str(), O_RDWR | O_CLOEXEC);
  struct stat st {};
  if (drive.backing < 0 || fstat(drive.backing, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "slow_drive: %s is not a regular file that can be read and written: %s\n",
                 positional[0].c_str(), std::strerror(errno));
    return 1;
  }
  drive.size = st.st_size;

  // Foreground and multi-threaded; requests up to 1 MiB each way.
  std::vector<std::string> args = {argv[0], positional[1], "-f", "-o", "max_read=" + std::to_string(MAX_REQUEST_BYTES),
                                   "-o", "fsname=slow_drive-" + std::string(profile->name)};
  args.insert(args.end(), fuseOptions.begin(), fuseOptions.end());
  std::vector<char*> fuseArgv;
  for (std::string& arg : args) fuseArgv.push_back(arg.data());

  fuse_operations operations{};
  operations.init = onInit;
  operations.getattr = onGetattr;
  operations.readdir = onReaddir;
  operations.open = onOpen;
  operations.read = onRead;
  operations.write = onWrite;
  operations.truncate = onTruncate;
  operations.fsync = onFsync;
  operations.flush = onFlush;
  const int status = fuse_main(static_cast<int>(fuseArgv.size()), fuseArgv.data(), &operations, nullptr);
  close(drive.backing);
  return status;
}

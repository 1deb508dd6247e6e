// tests/support/FaultFs.cpp
// A FUSE file system for failure tests: `FaultFs BACKING MOUNTPOINT` serves two files.
// "disk" holds the bytes of the regular file BACKING, every read and write of it answered
// by this process (direct I/O: the kernel keeps no page cache in between), so a loop
// device over it is a real block device whose faults this process decides. "control"
// takes plain commands, one a line, while the file system runs:
//   fail read|write|any OFFSET LENGTH   requests touching [OFFSET, OFFSET+LENGTH) fail (EIO)
//   corrupt OFFSET LENGTH               reads return those bytes inverted; writes are kept
//   stall read|write|any OFFSET LENGTH  requests touching the range wait until "clear"
//   fail-after read|write|any N         N more such requests pass, every later one fails
//   clear                               no faults; stalled requests go on
// Numbers may be decimal or 0x-hex; a malformed line fails the write with EINVAL. Reading
// "control" gives "reads R writes W failed F stalled S" (requests on "disk" so far, and
// those waiting now). Counts are of FUSE requests, each at most 128 KiB. Runs in the
// foreground until unmounted; a killed daemon leaves the mount answering ENOTCONN.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using u64 = std::uint64_t;

enum class Op { Read, Write, Any };
enum class Action { Fail, Corrupt, Stall, FailAfter };

struct Rule {
  Action action;
  Op op = Op::Read;
  u64 offset = 0, length = 0;  // the range
  u64 passes = 0;              // FailAfter: requests still to let through
  bool matches(Op request) const { return op == Op::Any || op == request; }
  bool touches(Op request, u64 at, u64 size) const {
    return matches(request) && at < offset + length && offset < at + size;
  }
};

struct State {
  int backing = -1;
  std::mutex mutex;
  std::condition_variable released;
  std::vector<Rule> rules;
  u64 generation = 0;  // counts "clear"s, so that a stalled request knows it was released
  u64 reads = 0, writes = 0, failed = 0, stalled = 0;
} state;

const char* const DISK = "/disk";
const char* const CONTROL = "/control";

bool parseNumber(std::istream& in, u64& value) {
  std::string word;
  if (!(in >> word) || word[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(word.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

// One command line; false when it is malformed. Called with the lock held.
bool applyCommand(const std::string& line) {
  static const std::map<std::string, Action> verbs = {
      {"fail", Action::Fail}, {"corrupt", Action::Corrupt}, {"stall", Action::Stall}, {"fail-after", Action::FailAfter}};
  static const std::map<std::string, Op> ops = {{"read", Op::Read}, {"write", Op::Write}, {"any", Op::Any}};
  std::istringstream in(line);
  std::string verb, word;
  if (!(in >> verb)) return true;  // an empty line
  if (verb == "clear") {
    if (in >> word) return false;
    state.rules.clear();
    ++state.generation;
    state.released.notify_all();
    return true;
  }
  const auto action = verbs.find(verb);
  if (action == verbs.end()) return false;
  Rule rule{action->second};
  if (rule.action != Action::Corrupt) {  // corrupt applies to reads only
    const auto op = in >> word ? ops.find(word) : ops.end();
    if (op == ops.end()) return false;
    rule.op = op->second;
  }
  const bool numbers = rule.action == Action::FailAfter ? parseNumber(in, rule.passes)
                                                        : parseNumber(in, rule.offset) && parseNumber(in, rule.length);
  if (!numbers || in >> word) return false;
  state.rules.push_back(rule);
  return true;
}

// Counts the request and applies every rule but Corrupt: 0 to go on, or -EIO.
int admit(Op op, u64 at, u64 size) {
  std::unique_lock<std::mutex> lock(state.mutex);
  ++(op == Op::Read ? state.reads : state.writes);
  bool fail = false, stall = false;
  for (Rule& rule : state.rules) {
    if (rule.action == Action::FailAfter && rule.matches(op)) {
      if (rule.passes == 0) fail = true;
      else --rule.passes;
    }
    fail = fail || (rule.action == Action::Fail && rule.touches(op, at, size));
    stall = stall || (rule.action == Action::Stall && rule.touches(op, at, size));
  }
  if (fail) {
    ++state.failed;
    return -EIO;
  }
  if (stall) {
    const u64 generation = state.generation;
    ++state.stalled;
    state.released.wait(lock, [&] { return state.generation != generation; });
    --state.stalled;
  }
  return 0;
}

void corrupt(char* buffer, u64 at, u64 size) {
  std::lock_guard<std::mutex> lock(state.mutex);
  for (const Rule& rule : state.rules) {
    if (rule.action != Action::Corrupt || !rule.touches(Op::Read, at, size)) continue;
    const u64 first = std::max(at, rule.offset), end = std::min(at + size, rule.offset + rule.length);
    for (u64 i = first; i < end; ++i) buffer[i - at] = static_cast<char>(~buffer[i - at]);
  }
}

std::string status() {
  std::lock_guard<std::mutex> lock(state.mutex);
  return "reads " + std::to_string(state.reads) + " writes " + std::to_string(state.writes) + " failed " +
         std::to_string(state.failed) + " stalled " + std::to_string(state.stalled) + "\n";
}

void* fsInit(fuse_conn_info*, fuse_config* config) {
  config->direct_io = 1;  // every open: no page cache, each transfer reaches this process
  config->kernel_cache = 0;
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  config->negative_timeout = 0;
  return nullptr;
}

int fsGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (std::strcmp(path, DISK) == 0) {
    struct stat backing {};
    if (::fstat(state.backing, &backing) != 0) return -errno;
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = backing.st_size;
  } else if (std::strcmp(path, CONTROL) == 0) {
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = 4096;
  } else {
    return -ENOENT;
  }
  return 0;
}

int fsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  for (const char* name : {".", "..", DISK + 1, CONTROL + 1}) fill(buffer, name, nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int fsOpen(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, DISK) != 0 && std::strcmp(path, CONTROL) != 0) return -ENOENT;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

int fsTruncate(const char* path, off_t size, fuse_file_info*) {
  if (std::strcmp(path, CONTROL) == 0) return 0;
  if (std::strcmp(path, DISK) != 0) return -ENOENT;
  return ::ftruncate(state.backing, size) == 0 ? 0 : -errno;
}

int fsUtimens(const char*, const struct timespec[2], fuse_file_info*) { return 0; }

int fsRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, CONTROL) == 0) {
    const std::string text = status();
    if (u64(offset) >= text.size()) return 0;
    const size_t n = std::min(size, text.size() - size_t(offset));
    std::memcpy(buffer, text.data() + offset, n);
    return int(n);
  }
  if (const int refused = admit(Op::Read, u64(offset), size)) return refused;
  const ssize_t n = ::pread(state.backing, buffer, size, offset);
  if (n < 0) return -errno;
  corrupt(buffer, u64(offset), u64(n));
  return int(n);
}

int fsWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, CONTROL) == 0) {
    std::istringstream lines(std::string(buffer, size));
    std::string line;
    std::lock_guard<std::mutex> lock(state.mutex);
    while (std::getline(lines, line)) {
      if (!applyCommand(line)) {
        std::fprintf(stderr, "FaultFs: bad command \"%s\"\n", line.c_str());
        return -EINVAL;
      }
    }
    return int(size);
  }
  if (const int refused = admit(Op::Write, u64(offset), size)) return refused;
  const ssize_t n = ::pwrite(state.backing, buffer, size, offset);
  return n < 0 ? -errno : int(n);
}

int fsFsync(const char*, int, fuse_file_info*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BACKING-FILE MOUNTPOINT\n", argv[0]);
    return 2;
  }
  state.backing = ::open(argv[1], O_RDWR | O_CLOEXEC);
  if (state.backing < 0) {
    std::perror(argv[1]);
    return 1;
  }
  fuse_operations ops{};
  ops.init = fsInit;
  ops.getattr = fsGetattr;
  ops.readdir = fsReaddir;
  ops.open = fsOpen;
  ops.truncate = fsTruncate;
  ops.utimens = fsUtimens;
  ops.read = fsRead;
  ops.write = fsWrite;
  ops.fsync = fsFsync;

  char* fuseArgv[] = {argv[0], const_cast<char*>("-o"), const_cast<char*>("fsname=faultfs,subtype=faultfs"), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&args);
  if (!fs) return 1;
  int result = 1;
  if (fuse_mount(fs, argv[2]) == 0) {
    if (fuse_set_signal_handlers(fuse_get_session(fs)) == 0) {
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, 16);
      result = fuse_loop_mt(fs, config) == 0 ? 0 : 1;
      fuse_loop_cfg_destroy(config);
      fuse_remove_signal_handlers(fuse_get_session(fs));
    }
    fuse_unmount(fs);
  }
  fuse_destroy(fs);
  ::close(state.backing);
  return result;
}

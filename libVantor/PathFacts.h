// libVantor/PathFacts.h
// What a host asks about the paths a user types, before it hands them to the library:
// what a path names (symbolic links followed), whether it is a symbolic link, a key for
// what it stands for, whether it is spelled as a drive; making a new empty file and
// removing one; and the first non-zero byte of a file in given spans, holes skipped
// without reading them. Paths are absolute (as a host resolves what a user typed): on
// Windows a relative one is not looked for where the program runs. Nothing here throws;
// no state.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <libVantor/Export.h>

namespace vantor {

class VANTOR_EXPORT PathFacts final {
 public:
  // A Drive is what DiskFactory::getDiskDevice opens: a block device node on Linux, a
  // "\\.\PhysicalDriveN" that answers on Windows.
  enum class Kind { Missing, Regular, Directory, Drive, Other };
  struct Info {
    Kind kind = Kind::Missing;
    std::uint64_t size = 0;  // bytes, for a regular file
  };
  // Byte spans as (first byte, byte count).
  using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  static Info inspect(const std::string& path);
  static bool isSymbolicLink(const std::string& path);
  // What `path` stands for, symbolic links followed, as a key that two spellings of the
  // same drive, file or missing path share.
  static std::string identity(const std::string& path);
  // True when `path` is spelled as a drive is ("/dev/...", "\\.\..."), whether or not
  // one is there.
  static bool isDrivePath(const std::string& path);
  // Makes a new empty file at `path`, refusing one that exists; "" on success, else the
  // system's reason.
  static std::string createNew(const std::string& path);
  static void remove(const std::string& path);
  // The offset of the first non-zero byte of the file at `path` inside `spans`, or -1
  // (also when the file cannot be read). Holes and what lies past the end read as zeros.
  static std::int64_t firstNonZeroByte(const std::string& path, const Spans& spans);
};

}  // namespace vantor

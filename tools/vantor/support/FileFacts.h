// tools/vantor/support/FileFacts.h
// What the host asks the system about paths, and the few file operations the commands
// perform themselves (the library does the rest): what a path names, symbolic links
// followed; whether it is a symbolic link; whether two paths are one file; a key for what
// a path stands for; making a new empty file and removing one; and the first non-zero
// byte of a file in given spans. Nothing here throws. Implemented once per system, in
// posix/FileFacts.cpp and windows/FileFacts.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantor::cli {

class FileFacts {
 public:
  // Drives are told apart by BlockDevice, not here: a drive is Other (or Missing).
  enum class Kind { Missing, Regular, Directory, Other };
  struct Info {
    Kind kind = Kind::Missing;
    std::uint64_t size = 0;  // bytes, for a regular file
  };
  // Byte spans as (first byte, byte count).
  using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  static Info inspect(const std::string& path);
  static bool isSymbolicLink(const std::string& path);
  // True when both exist and are the same file.
  static bool sameFile(const std::string& a, const std::string& b);
  // What `path` stands for, symbolic links followed, as a key that two spellings of the
  // same thing share: a device by its number, any other file by its file system and its
  // number there, a missing path by its spelling with the directory part resolved.
  static std::string identity(const std::string& path);
  // Makes a new empty file at `path`, refusing one that exists; "" on success, else the
  // system's reason.
  static std::string createNew(const std::string& path);
  static void remove(const std::string& path);
  // The offset of the first non-zero byte of the file at `path` inside `spans`, or -1
  // (also when the file cannot be read). Holes read as zeros.
  static std::int64_t firstNonZeroByte(const std::string& path, const Spans& spans);
};

}  // namespace vantor::cli

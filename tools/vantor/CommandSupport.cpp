// The pieces the subcommands share.
#include <sys/stat.h>

#include <filesystem>

#include "Commands.h"
#include "Target.h"

namespace vantor::cli {

void addTargetOptions(CLI::App& command, TargetOptions& options, bool mayCreate) {
  command.add_option("--sector-size", options.sectorSize, "Sector size of a disk file target, in bytes")
      ->capture_default_str();
  options.mayCreate = mayCreate;
  if (mayCreate) {
    command.add_option("--size", options.size,
                       "Create a missing disk file target of this size (suffixes K, M, G, T: 64M, 1G)");
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::string fileIdentity(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISBLK(info.st_mode)) return "block:" + std::to_string(info.st_rdev);
    if (S_ISCHR(info.st_mode)) return "char:" + std::to_string(info.st_rdev);
    return "file:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  const std::filesystem::path parent = std::filesystem::weakly_canonical(absolute.parent_path(), ec);
  return "missing:" + (ec ? absolute.lexically_normal().string() : (parent / absolute.filename()).string());
}

}  // namespace vantor::cli

// tests/support/TempDir.h
// A unique directory per test under the system's temporary directory, removed with
// everything in it when the object goes. Paths inside it are made with "/" on every
// system. Also the whole of a file as bytes, read or written; shell commands (POSIX
// builds only, so the tests that drive the system's own tools with them are Linux-only);
// and what the tests of disks over system handles need from each system (SystemHandles.cpp
// of each): handles opened the way that system opens them, the error code it gives for
// each failure those tests provoke, files made large, and paths that name something
// other than a regular file.
#pragma once
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <vrk/Resource.h>

namespace vantor::test {

class TempDir {
 public:
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("vantor-test-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
    }
    if (path_.empty()) throw std::runtime_error("cannot make a temporary directory in " + base.string());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The bytes of a file (empty when it cannot be read).
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command; its exit status (-1 when it could not run).
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);
// Runs a shell command with its standard error joined to its output and throws
// std::runtime_error (with the command and its output) unless it exits with 0.
std::string runOrThrow(const std::string& command);
// `text` quoted for the shell.
std::string shellQuote(const std::string& text);
bool isRoot();

enum class Access { ReadOnly, ReadWrite, Directory };
// Invalid when the path cannot be opened so.
vrk::FileHandle openHandle(const std::string& path, Access access);

enum class Failure {
  WriteOnReadOnly,  // a write through a handle opened for reading only
  ReadOnDirectory,  // a read through a handle on a directory
};
// The system's error code for `failure`, as the disk logs it.
unsigned systemError(Failure failure);

// Makes the file at `path` `size` bytes long, the new bytes reading as zeros; sparse
// where the file system can. Throws std::runtime_error when it cannot.
void setFileSize(const std::string& path, unsigned long long size);

// Paths that are no regular file, made in `dir` where that is needed: the null device, the
// directory itself and, where the system has them, a pipe and a symbolic link to the null
// device.
std::vector<std::string> specialFiles(const std::string& dir);
// True when everything specialFiles(dir) named is still what it was.
bool specialFilesIntact(const std::string& dir);

}  // namespace vantor::test

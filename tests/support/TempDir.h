// tests/support/TempDir.h
// A unique directory per test under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once
#include <string>

namespace vantor::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; its exit status (-1 when it could not run).
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);
// The bytes of a file (empty when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool isRoot();

}  // namespace vantor::test

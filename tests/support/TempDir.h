// tests/support/TempDir.h
// A unique directory per test under the system's temporary directory, removed with
// everything in it when the object goes. Paths inside it are made with "/" on every
// system. Also the whole of a file as bytes, read or written.
#pragma once
#include <string>

#include "support/Shell.h"

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

// The bytes of a file (empty when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace vantor::test

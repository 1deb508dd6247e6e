// A host of the library as any application is one: it links the shared libraries (never
// the static copy the other tests use), sends its own std::cout into a string, zeroes a
// small disk file in a temporary folder of its own with the console observer, and
// expects the observer's lines in that string: the library's console output must reach
// the stream of the program that hosts it, with whatever buffer the program gave it.
#include <libVantor/Vantor.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

int main() {
  using namespace vantor;
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() /
      ("vantor-host-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(folder);
  std::ostringstream captured;
  std::streambuf* const console = std::cout.rdbuf(captured.rdbuf());
  bool zeroed = false;
  {
    auto disk = std::make_shared<WinDiskFile>(folder.u8string() + "/disk.img", WinDiskFile::OpenAlways, 512, 64 * 512);
    DiskDevice device("host check", disk);
    DiskImager imager(device);
    imager.registerObserver(new CLImagingObserver);
    zeroed = disk->isOpen() && imager.startZeroingDisk(true, std::vector<std::pair<u64, u64>>{{3, 3}});
  }
  std::cout.rdbuf(console);
  std::error_code ignored;
  fs::remove_all(folder, ignored);

  const std::string text = captured.str();
  int failures = zeroed ? 0 : 1;
  for (const char* line : {"Operation started\n", "Operation finished successfully ("}) {
    if (text.find(line) == std::string::npos) {
      std::cerr << "not in the host's std::cout: \"" << line << "\"\n";
      ++failures;
    }
  }
  std::cerr << "the host's std::cout got:\n" << text << "--\n";
  return failures == 0 ? 0 : 1;
}

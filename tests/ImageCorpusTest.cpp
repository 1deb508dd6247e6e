// The image files of the ImageFileFuzz corpus, each judged by the fuzz target's own body
// (tests/fuzz/ImageFileFuzz.cpp, built into this program): read with getImageInfo,
// opened as an ImageDisk, which is what `vantor info` and `vantor mount` read, and
// restored onto a disk in memory. Both must take exactly the files whose records are
// sound: a file that ImageDisk refuses is refused by the restore before a single sector
// is written, and a file it takes is restored, every sector as the file holds it. A
// broken promise stops the program with "fuzz check failed:" and the check, after the
// name of the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include <libVantor/ImageDisk.h>
#include <libVantor/VantorException.h>

#include "fuzz/ImageFileInput.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace vantor::test {
namespace {

TEST(ImageCorpus, ImageDiskAndRestoreTakeTheSameImages) {
  const LogCapture quiet("vantor.DiskImager");  // a refused image is logged; nobody reads that here
  std::vector<std::filesystem::path> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(VANTOR_IMAGE_CORPUS)) seeds.push_back(entry.path());
  std::sort(seeds.begin(), seeds.end());
  ASSERT_FALSE(seeds.empty()) << VANTOR_IMAGE_CORPUS;
  TempDir dir;
  u32 sound = 0;
  for (const std::filesystem::path& seed : seeds) {
    std::printf("%s\n", seed.filename().string().c_str());
    std::fflush(stdout);
    const std::string input = readFile(seed.string());
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
    LLVMFuzzerTestOneInput(bytes, input.size());
    // The corpus must hold images that are taken, not only ones refused.
    fuzz::ImageFileInput::read(bytes, input.size()).write(dir.file("image"));
    try {
      ImageDisk view(dir.file("image"));
      ++sound;
    } catch (const VantorException&) {
    }
  }
  EXPECT_GT(sound, 0u) << "the corpus holds no sound image";
}

}  // namespace
}  // namespace vantor::test

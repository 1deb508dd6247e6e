// The image files of the ImageFileFuzz corpus, each judged by the fuzz target's own body
// (tests/fuzz/ImageFileFuzz.cpp, built into this program): read with getImageInfo,
// opened as an ImageDisk, which is what `vantor info` and `vantor mount` read, and
// restored onto a disk in memory. Both must take exactly the files whose records are
// sound: a file that ImageDisk refuses is refused by the restore before a single sector
// is written, and a file it takes is restored, every sector as the file holds it. A
// broken promise stops the program with "fuzz check failed:" and the check, after the
// name of the seed on standard error. The corpus must hold images that are taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "support/TempDir.h"

// True when the image was taken (tests/fuzz/ImageFileFuzz.cpp).
bool judgeImageInput(const uint8_t* data, size_t size);

namespace vantor::test {
namespace {

TEST(ImageCorpus, ImageDiskAndRestoreTakeTheSameImages) {
  std::vector<std::filesystem::path> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(VANTOR_IMAGE_CORPUS)) seeds.push_back(entry.path());
  std::sort(seeds.begin(), seeds.end());
  ASSERT_FALSE(seeds.empty()) << VANTOR_IMAGE_CORPUS;
  unsigned sound = 0;
  for (const std::filesystem::path& seed : seeds) {
    std::fprintf(stderr, "%s\n", seed.filename().string().c_str());
    const std::string input = readFile(seed.string());
    sound += judgeImageInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  }
  EXPECT_GT(sound, 0u) << "the corpus holds no sound image";
}

}  // namespace
}  // namespace vantor::test

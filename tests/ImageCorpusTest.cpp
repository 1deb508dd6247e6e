// The image files of the ImageFileFuzz corpus (each seed made into its file as the fuzz
// target makes it), judged twice: opened as an ImageDisk, which is what `vantor info`
// and `vantor mount` read, and restored onto a disk file of the image's sector size that
// holds every run. Both must take the same files: a file that ImageDisk refuses must be
// refused by the restore before a single sector is written, and a file it takes must be
// restored, each run reading back on the target as it reads through the ImageDisk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/WinDiskFile.h>

#include "fuzz/ImageFileInput.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

// The operation's error code, ERR_NONE when it finished.
VantorErrorCodes restore(DiskImager& imager, const std::string& image) {
  try {
    if (!imager.startWritingImage(image, true, false, false, nullptr)) return ERR_GENERAL;
  } catch (const VantorException& refused) {  // the check the start makes
    return refused.getErrorCode();
  }
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  imager.errorEncountered(code, message);
  return code;
}

TEST(ImageCorpus, ImageDiskAndRestoreTakeTheSameImages) {
  const LogCapture quiet("vantor.DiskImager");  // a refused image is logged; nobody reads that here
  std::vector<std::filesystem::path> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(VANTOR_IMAGE_CORPUS)) seeds.push_back(entry.path());
  std::sort(seeds.begin(), seeds.end());
  ASSERT_FALSE(seeds.empty()) << VANTOR_IMAGE_CORPUS;
  u32 taken = 0;
  for (const std::filesystem::path& seed : seeds) {
    TempDir dir;
    const std::string input = readFile(seed.string());
    const auto made = fuzz::ImageFileInput::read(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    const std::string image = dir.file("image");
    made.write(image);

    std::unique_ptr<ImageDisk> view;
    try {
      view = std::make_unique<ImageDisk>(image);
    } catch (const VantorException&) {
    }
    // The target: the sector size the header gives, and room for every run (and for the
    // fuzz target's own disk, so that a refused file has a drive of its size to spoil).
    u64 sectorSize = 0;
    for (int b = 3; b >= 0; --b) sectorSize = sectorSize << 8 | made.file.byteAt(16 + b);  // 0 past the end
    if (sectorSize > 65536) continue;  // no drive has such sectors: there is no restore to compare
    if (sectorSize == 0) sectorSize = 512;
    u64 sectors = made.sectors;
    if (view) {
      for (const ImageDisk::Run& run : view->getRuns()) {
        sectors = std::max<u64>(sectors, u64(run.firstSector) + run.sectorCount);
      }
    }
    auto target = std::make_shared<WinDiskFile>(dir.file("target"), WinDiskFile::OpenAlways,
                                                static_cast<u32>(sectorSize), sectors * sectorSize);
    ASSERT_TRUE(target->isOpen()) << seed;
    DiskDevice device("target", target);
    DiskImager imager(device);
    imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);  // the runs fit; the volume need not

    const VantorErrorCodes restored = restore(imager, image);
    EXPECT_EQ(view != nullptr, restored == ERR_NONE) << seed << ": the restore ended with " << errorCodeName(restored);
    if (!view) {
      const std::string bytes = readFile(dir.file("target"));
      EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos) << seed << ": a refused image was written";
      continue;
    }
    ++taken;
    for (const ImageDisk::Run& run : view->getRuns()) {
      std::vector<u8> expected(u64(run.sectorCount) * sectorSize), written(expected.size());
      ASSERT_TRUE(view->readSectors(run.firstSector, expected.data(), run.sectorCount)) << seed;
      ASSERT_TRUE(target->readSectors(run.firstSector, written.data(), run.sectorCount)) << seed;
      EXPECT_TRUE(expected == written) << seed << ": the run at " << run.firstSector;
    }
  }
  EXPECT_GT(taken, 0u) << "the corpus holds no sound image";
}

}  // namespace
}  // namespace vantor::test

// Capture, restore and verify end to end on a real MBR disk with a FAT16 and a FAT32
// volume made by sfdisk, mkfs.fat and mtools; the same tools judge the restored disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/LittleEndian.h>

#include "support/FatImage.h"
#include "support/LoopDevice.h"
#include "support/RecordingObserver.h"
#include "support/SystemHandles.h"
#include "support/TempDir.h"
#include "support/ToolSteps.h"

namespace vantor::test {
namespace {

constexpr u32 kFat16Start = 2048, kFat16Size = 100000;
constexpr u32 kFat32Start = 104448, kFat32Size = 140000;
constexpr u32 kDiskSectors = 250000;

// Runs one operation on a disk and returns its closing notification.
std::string runOn(const std::shared_ptr<IDisk>& disk, const std::function<bool(DiskImager&)>& start) {
  DiskDevice device("disk", disk);
  DiskImager imager(device);
  auto log = std::make_shared<EventLog>();
  imager.registerObserver(new RecordingObserver(log));
  EXPECT_TRUE(start(imager));
  return log->snapshot().back();
}

std::string runOn(const std::string& diskPath, const std::function<bool(DiskImager&)>& start) {
  auto disk = std::make_shared<WinDiskFile>(diskPath, WinDiskFile::OpenExisting, 512, 0);
  EXPECT_TRUE(disk->isOpen());
  return runOn(disk, start);
}

class ImageRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_REQUIRE_TOOLS();
    source = std::make_unique<FatImage>(dir.file("source.img"), kDiskSectors);
    source->partition({{kFat16Start, kFat16Size, 0x0E, true}, {kFat32Start, kFat32Size, 0x0C}});
    source->fillSectors(10, 3, 0x5C);  // a boot loader in the gap before the first partition
    source->format(kFat16Start, kFat16Size, 16, "-r 100");
    source->format(kFat32Start, kFat32Size, 32, "-s 1");
    for (u32 volume : {kFat16Start, kFat32Start}) {
      source->makeDirectory(volume, "::/docs");
      for (u32 i = 0; i < 12; ++i) {
        source->addFile(volume, "::/docs/f" + std::to_string(i) + ".bin", 3000 + i * 9000, volume + i);
      }
      source->addFile(volume, "::/big.bin", 2'000'000, volume);
      for (u32 i = 0; i < 12; i += 3) source->remove(volume, "::/docs/f" + std::to_string(i) + ".bin");
    }
  }

  TempDir dir;
  std::unique_ptr<FatImage> source;
};

// The image holds only the used sectors, in ascending runs; the restored disk is clean and
// holds the same files; the image read as a disk reads as the restored drive; verifying
// finds one changed sector in its chunk and writes nothing.
TEST_F(ImageRoundTrip, RestoredDiskIsCleanHoldsTheSameFilesAndVerifies) {
  const std::string imagePath = dir.file("disk.vimg");
  ASSERT_EQ(runOn(source->path(), [&](DiskImager& i) { return i.startReadingImage(imagePath, true, false); }),
            "finished");
  const std::string file = readFile(imagePath);
  const auto* bytes = reinterpret_cast<const u8*>(file.data());
  const ImageHeader h = parseImageHeader(bytes);
  u64 offset = h.firstRunOffset, sectors = 0, previousLast = 0;
  for (u32 i = 0; i < h.runCount; ++i) {
    const u32 first = readLE32(bytes + offset), count = readLE32(bytes + offset + 4);
    if (i > 0) {
      EXPECT_GT(first, previousLast + 1) << "runs ascend and never touch";
    }
    previousLast = u64(first) + count - 1;
    sectors += count;
    offset += 8 + u64(count) * 512;
  }
  EXPECT_EQ(offset, file.size());
  EXPECT_EQ(sectors, h.totalSectors);
  EXPECT_EQ(h.highestVolumeSector, kFat32Start + kFat32Size - 1);
  EXPECT_LT(file.size(), u64(kDiskSectors) * 512 / 4) << "only the used sectors are kept";

  FatImage target(dir.file("target.img"), kDiskSectors);
  ASSERT_EQ(runOn(target.path(),
                  [&](DiskImager& i) { return i.startWritingImage(imagePath, true, false, true, nullptr); }),
            "finished");
  EXPECT_EQ(target.readBytes(10 * 512, 3 * 512), std::string(3 * 512, '\x5C'));
  EXPECT_EQ(target.readBytes(446, 66), source->readBytes(446, 66)) << "the partition table came back";
  for (u32 volume : {kFat16Start, kFat32Start}) {
    const u32 size = volume == kFat16Start ? kFat16Size : kFat32Size;
    EXPECT_TRUE(target.check(volume, size).clean) << target.check(volume, size).output;
    const std::string before = source->fileDigests(volume);
    EXPECT_EQ(std::count(before.begin(), before.end(), '\n'), 9) << before;  // 8 of 12 kept, and big.bin
    EXPECT_EQ(target.fileDigests(volume), before);
  }

  ImageDisk image(imagePath);
  EXPECT_EQ(image.getSizeBytes(), u64(kFat32Start + kFat32Size) * 512);
  std::vector<u8> chunk(256 * 512);
  for (u32 sector = 0; sector < image.getSizeSectors(); sector += 256) {
    const u32 count = std::min<u32>(256, image.getSizeSectors() - sector);
    ASSERT_TRUE(image.readSectors(sector, chunk.data(), count));
    const std::string read(chunk.begin(), chunk.begin() + count * 512);
    ASSERT_EQ(read, target.readBytes(u64(sector) * 512, count * 512)) << "the chunk at " << sector;
  }
  EXPECT_FALSE(image.writeSectors(0, chunk.data(), 1));

  const auto verify = [&] {
    return runOn(target.path(), [&](DiskImager& i) { return i.startVerifyingImage(imagePath, true); });
  };
  EXPECT_EQ(verify(), "finished");
  target.fillSectors(kFat32Start + 300, 1, 0x77);  // inside the FAT32 volume's system area: kept by the capture
  const std::string before = readFile(target.path());
  const char* mismatch = "error 5 Data mismatch during verification of sector chunk starting at LBA %08Xh";
  EXPECT_EQ(verify(), vrk::SprintfFormat(mismatch, kFat32Start + 256).str());
  EXPECT_EQ(readFile(target.path()), before) << "verifying writes nothing";
  EXPECT_EQ(readFile(imagePath), file);
}

// A drive of 2^32 sectors or more (2 TiB of 512-byte sectors): used-sector capture and
// restore compare capacities in 64 bits, and the whole-drive operations refuse before
// any transfer instead of covering the size cut to 32 bits.
constexpr u64 kBigBytes = (2ull << 40) + (1u << 20);

void expectNeverCutShort(const std::shared_ptr<IDisk>& disk, const FatImage& source, const TempDir& dir) {
  const std::string imagePath = dir.file("disk.vimg"), dumpPath = dir.file("disk.dump");
  ASSERT_EQ(runOn(source.path(), [&](DiskImager& i) { return i.startReadingImage(imagePath, true, false); }),
            "finished");
  ASSERT_EQ(disk->getSizeBytes(), kBigBytes);
  EXPECT_EQ(runOn(disk, [&](DiskImager& i) { return i.startWritingImage(imagePath, true, false, true, nullptr); }),
            "finished");
  EXPECT_EQ(runOn(disk, [&](DiskImager& i) { return i.startReadingImage(dir.file("again.vimg"), true, false); }),
            "finished");
  EXPECT_EQ(runOn(disk, [&](DiskImager& i) { return i.startReadingImage(dumpPath, true, true); }),
            "error 17 The whole drive cannot be captured: it holds 4294969344 sectors of 512 bytes, and sector "
            "numbers end at FFFFFFFFh (4294967296 sectors).");
  EXPECT_FALSE(std::filesystem::exists(dumpPath));
  EXPECT_EQ(runOn(disk, [&](DiskImager& i) { return i.startZeroingDisk(true, boost::none); }).substr(0, 56),
            "error 17 The whole drive cannot be zeroed: it holds 4294");
  DiskBufferPointer first(512);
  ASSERT_TRUE(disk->readSectors(0, first.get(), 1));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.get()), 512), source.readBytes(0, 512))
      << "nothing was zeroed";
}

TEST_F(ImageRoundTrip, DrivesBeyond32BitSectorNumbersAreNeverCutShort) {
  const std::string bigFile = dir.file("big.img");
  std::filesystem::copy_file(source->path(), bigFile);
  setFileSize(bigFile, kBigBytes);
  expectNeverCutShort(std::make_shared<WinDiskFile>(bigFile, WinDiskFile::OpenExisting, 512, 0), *source, dir);
}

TEST_F(ImageRoundTrip, BlockDevicesBeyond32BitSectorNumbersAreNeverCutShort) {
  std::string whyNot;
  TempDir loopDir;
  auto loop = LoopDevice::create(loopDir.path(), {kBigBytes, 512, ""}, whyNot);
  if (!loop) GTEST_SKIP() << whyNot;
  runOrThrow("dd if=" + shellQuote(source->path()) + " of=" + loop->path() + " bs=1M oflag=direct status=none");
  expectNeverCutShort(DiskFactory::getDiskDevice(loop->path()), *source, dir);
}

}  // namespace
}  // namespace vantor::test

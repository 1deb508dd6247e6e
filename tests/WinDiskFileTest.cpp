// The file-backed disk: opening, sizing and where relative paths lead.
#include <gtest/gtest.h>

#include <filesystem>

#include <libVantor/WinDiskFile.h>
#include <vrk/Files.h>

#include "support/TempDir.h"

namespace vantor::test {
namespace {

TEST(WinDiskFile, SizesTheFileAsAsked) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string before;  // "-" for a missing file
    WinDiskFile::CreateDisposition disposition;
    u64 sizeBytes;
    bool open;
    u64 reported;
    std::string after;  // "-" for a missing file
  };
  const std::string ab = std::string(1024, 'a') + std::string(1024, 'b');
  const Case cases[] = {
      {"keep an existing file", ab, WinDiskFile::OpenExisting, 0, true, 2048, ab},
      {"cut a longer file", ab, WinDiskFile::OpenExisting, 1024, true, 1024, std::string(1024, 'a')},
      {"extend with zeros", ab, WinDiskFile::OpenAlways, 4096, true, 4096, ab + std::string(2048, '\0')},
      {"create with a size", "-", WinDiskFile::OpenAlways, 1 << 20, true, 1 << 20, std::string(1 << 20, '\0')},
      {"create empty", "-", WinDiskFile::OpenAlways, 0, true, 0, ""},
      {"missing file", "-", WinDiskFile::OpenExisting, 0, false, 0, "-"},
      {"missing file with a size", "-", WinDiskFile::OpenExisting, 512, false, 512, "-"},
      {"unknown disposition", "-", static_cast<WinDiskFile::CreateDisposition>(2), 0, false, 0, "-"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("disk");
    std::filesystem::remove(path);
    if (c.before != "-") writeFile(path, c.before);
    WinDiskFile disk(path, c.disposition, 512, c.sizeBytes);
    EXPECT_EQ(disk.isOpen(), c.open) << c.name;
    EXPECT_EQ(disk.getSizeBytes(), c.reported) << c.name;
    EXPECT_EQ(disk.getSizeSectors(), c.reported / 512) << c.name;
    if (c.after == "-") {
      EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
    } else {
      EXPECT_TRUE(readFile(path) == c.after) << c.name;
    }
  }
}

TEST(WinDiskFile, NewMegabyteDiskReadsZerosToItsLastSector) {
  TempDir dir;
  WinDiskFile disk(dir.file("new"), WinDiskFile::OpenAlways, 512, 1 << 20);
  ASSERT_TRUE(disk.isOpen());
  EXPECT_EQ(disk.getSizeSectors(), 2048u);
  std::vector<u8> sector(512, 0xFF);
  ASSERT_TRUE(disk.readSectors(2047, sector.data(), 1));
  EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](u8 b) { return b == 0; }));
  EXPECT_FALSE(disk.readSectors(2048, sector.data(), 1));
  DiskGeometry g;
  EXPECT_FALSE(disk.getDiskGeometry(g));
  EXPECT_FALSE(disk.getCHSAddressFromLBA(0, true));
  EXPECT_EQ(disk.getMediaType(), MEDIA_UNKNOWN);
  vrk::Array<vrk::String> points;
  disk.getMountPoints(points);
  EXPECT_EQ(points.size(), 0u);

  std::unique_ptr<WinDiskFile> clone(disk.clone());
  EXPECT_TRUE(clone->isOpen());
  sector[0] = 0x42;
  ASSERT_TRUE(clone->writeSectors(7, sector.data(), 1));
  std::vector<u8> back(512);
  ASSERT_TRUE(disk.readSectors(7, back.data(), 1));
  EXPECT_EQ(back[0], 0x42);
}

TEST(WinDiskFile, DirectoriesAreNotDisks) {
  TempDir dir;
  WinDiskFile disk(dir.path(), WinDiskFile::OpenExisting, 512, 0);
  EXPECT_FALSE(disk.isOpen());
}

TEST(WinDiskFile, RelativePathsStartAtTheProgramsDirectory) {
  const std::string name = "vantor-relative-test-disk.bin";
  const std::string expected = vrk::System::getApplicationDirectory().str() + "/" + name;
  std::filesystem::remove(expected);
  {
    WinDiskFile disk("./sub/../" + name, WinDiskFile::OpenAlways, 512, 1024);
    EXPECT_TRUE(disk.isOpen());
  }
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_EQ(std::filesystem::file_size(expected), 1024u);
  std::filesystem::remove(expected);
}

}  // namespace
}  // namespace vantor::test

// The device record: a shared disk and a snapshot of its mount points.
#include <gtest/gtest.h>

#include <libVantor/DiskDevice.h>
#include <libVantor/WinDiskFile.h>

#include "support/FakeDisk.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

TEST(DiskDevice, MountPointsAreASnapshot) {
  auto disk = std::make_shared<FakeDisk>(512, 10);
  disk->setMountPoints({"/media/key", "/media/key2"});
  DiskDevice device("USB key", disk);
  DiskDevice copy(device);
  disk->setMountPoints({});
  ASSERT_EQ(copy.mountPoints().size(), 2u);
  EXPECT_EQ(copy.mountPoints()[1], "/media/key2");
  EXPECT_EQ(&copy.rawDisk(), disk.get()) << "copies share the disk";
}

TEST(DiskDevice, FileBackedDeviceHasNoMountPointsAndOutlivesItsRecords) {
  TempDir dir;
  std::shared_ptr<IDisk> held;
  {
    DiskDevice device("file", std::make_shared<WinDiskFile>(dir.file("d"), WinDiskFile::OpenAlways, 4096, 8192));
    EXPECT_TRUE(device.mountPoints().empty());
    EXPECT_EQ(device.getMediaType(), MEDIA_UNKNOWN);
    EXPECT_EQ(device.getSectorSize(), 4096u);
    held = device.rawDiskPtr();
  }
  std::vector<u8> sector(4096, 1);
  EXPECT_TRUE(held->writeSectors(1, sector.data(), 1)) << "the disk stays open while a holder remains";
}

}  // namespace
}  // namespace vantor::test

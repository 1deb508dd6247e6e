// Listing the machine's drives (kind flags, media and sector-size filters) seen through
// two loop devices of our own, of 512- and 4096-byte sectors. The machine's own disks
// may be listed; they are opened and read, never written. A drive that cannot be opened
// ends a listing, so what is expected of our devices holds when the listing reached them.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <memory>
#include <string>

#include <libVantor/DiskDevice.h>
#include <libVantor/internal/SysHost.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor {
namespace {

using test::LoopDevice;
using test::TempDir;

// How many listed devices name `backingFile` in their display text.
int listed(const vrk::Array<DiskDevice>& devices, const std::string& backingFile) {
  int n = 0;
  for (const DiskDevice& d : devices) n += d.description().str().find(backingFile) != std::string::npos;
  return n;
}

const DiskDevice* find(const vrk::Array<DiskDevice>& devices, const std::string& backingFile) {
  for (const DiskDevice& d : devices) {
    if (d.description().str().find(backingFile) != std::string::npos) return &d;
  }
  return nullptr;
}

struct Listing {
  vrk::Array<DiskDevice> devices;
  std::string failedOn;  // the locator whose open ended the listing; empty when none did
};

// Lists into `listing`, whatever it held before.
void enumerateInto(Listing& listing, u32 flags, u16 sectorSize) {
  listing.failedOn.clear();
  try {
    DiskDevice::enumDevices(listing.devices, flags, sectorSize);
  } catch (const VantorException& e) {
    EXPECT_EQ(ERR_DISK_ACCESS, e.getErrorCode());
    const std::string message = e.getMessage().str(), prefix = "Failed to open handle to device \"";
    EXPECT_EQ(0u, message.rfind(prefix, 0)) << message;
    listing.failedOn = message.substr(prefix.size(), message.size() - prefix.size() - 1);
  }
}

Listing enumerate(u32 flags, u16 sectorSize = 0) {
  Listing listing;
  enumerateInto(listing, flags, sectorSize);
  return listing;
}

// Position of `locator` in the device library's order; its size when not there.
u32 positionOf(const std::string& locator) {
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  for (u32 i = 0; i < set.size(); ++i) {
    if (set[i].getOsLocator().str() == locator) return i;
  }
  return set.size();
}

// Whether the listing got as far as `locator`.
bool reached(const Listing& listing, const std::string& locator) {
  return listing.failedOn.empty() || positionOf(locator) < positionOf(listing.failedOn);
}

TEST(DiskDeviceEnum, WithoutAKindFlagNothingIsListedAndOldEntriesGo) {
  TempDir dir;
  vrk::Array<DiskDevice> devices;
  devices.append(DiskDevice("a file", std::make_shared<WinDiskFile>(dir.file("f.img"), WinDiskFile::OpenAlways, 512,
                                                                    1 << 20)));
  for (const u32 flags : {0x00u, 0x01u, 0x20u, 0x40u, 0x61u, 0x80u}) {
    DiskDevice::enumDevices(devices, flags, 0);
    EXPECT_TRUE(devices.empty()) << "flags " << flags;
  }
}

class DiskDeviceEnumOnLoops : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    small = LoopDevice::create(dir512.path(), {32ull << 20, 512, ""}, why);
    if (small) large = LoopDevice::create(dir4096.path(), {32ull << 20, 4096, ""}, why);
    if (!small || !large) GTEST_SKIP() << why;
  }

  TempDir dir512, dir4096;
  std::unique_ptr<LoopDevice> small, large;
};

TEST_F(DiskDeviceEnumOnLoops, EveryKindListsLoopDevicesOnceWithTheirBackingFile) {
  const std::string mnt = dir512.file("mnt");
  ASSERT_TRUE(LoopDevice::makeExt2(small->path()));
  ASSERT_TRUE(LoopDevice::mount(small->path(), mnt));

  Listing listing;
  listing.devices.append(DiskDevice(small->backingFile() + " stale",
                                    std::make_shared<WinDiskFile>(dir512.file("f.img"), WinDiskFile::OpenAlways, 512,
                                                                  1 << 20)));
  for (int round = 0; round < 2; ++round) {  // the second round starts from a filled array
    enumerateInto(listing, 0x10, 0);
    if (!reached(listing, small->path()) || !reached(listing, large->path())) {
      GTEST_SKIP() << listing.failedOn << " cannot be opened and comes before our loop devices";
    }
    EXPECT_EQ(1, listed(listing.devices, small->backingFile()));
    EXPECT_EQ(1, listed(listing.devices, large->backingFile()));
  }
  const DiskDevice* d = find(listing.devices, small->backingFile());
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(32ull << 20, d->capacityBytes());
  EXPECT_EQ(512u, d->getSectorSize());
  EXPECT_EQ(MEDIA_FIXED, d->getMediaType());
  ASSERT_EQ(1u, d->mountPoints().size());
  EXPECT_EQ(mnt, d->mountPoints()[0].str());
  EXPECT_EQ(4096u, find(listing.devices, large->backingFile())->getSectorSize());
  EXPECT_EQ(1, listed(enumerate(0x11).devices, small->backingFile())) << "floppy drives come after the disks";
}

TEST_F(DiskDeviceEnumOnLoops, ADriveThatCannotBeOpenedEndsTheListingKeepingTheOnesBefore) {
  const Listing listing = enumerate(0x10);
  if (listing.failedOn.empty()) GTEST_SKIP() << "every drive of this machine opens";
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  EXPECT_LT(positionOf(listing.failedOn), set.size()) << listing.failedOn << " is one of the machine's drives";
  for (const auto* loop : {small.get(), large.get()}) {
    EXPECT_EQ(reached(listing, loop->path()) ? 1 : 0, listed(listing.devices, loop->backingFile())) << loop->path();
  }
}

TEST_F(DiskDeviceEnumOnLoops, KindMediaAndSectorSizeFiltersDecideWhatIsListed) {
  struct Case {
    u32 flags;
    u16 sectorSize;
    int small, large;  // how often each loop device is listed
  };
  const Case cases[] = {
      {0x10, 512, 1, 0},
      {0x10, 4096, 0, 1},
      {0x02 | 0x04 | 0x08, 0, 0, 0},  // internal disks, USB keys, cards: no virtual disks
      {0x1E, 0, 1, 1},
      {0x10 | 0x20, 0, 1, 1},  // removable media dropped: a loop device is fixed
      {0x10 | 0x40, 0, 0, 0},  // fixed media dropped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << std::hex << c.flags << std::dec << ", sector size " << c.sectorSize);
    const Listing listing = enumerate(c.flags, c.sectorSize);
    if (reached(listing, small->path())) { EXPECT_EQ(c.small, listed(listing.devices, small->backingFile())); }
    if (reached(listing, large->path())) { EXPECT_EQ(c.large, listed(listing.devices, large->backingFile())); }
    for (const DiskDevice& d : listing.devices) {
      if (c.sectorSize != 0) { EXPECT_EQ(c.sectorSize, d.getSectorSize()) << d.description(); }
      if (c.flags & 0x20) { EXPECT_NE(MEDIA_REMOVABLE, d.getMediaType()) << d.description(); }
      if (c.flags & 0x40) { EXPECT_NE(MEDIA_FIXED, d.getMediaType()) << d.description(); }
      if (!(c.flags & 0x10)) { EXPECT_EQ(std::string::npos, d.description().str().find("loop")) << d.description(); }
    }
  }
}

// Each volume names what libblkid finds on it, and so does the drive's display text.
TEST(DiskDeviceEnumVolumes, VolumesNameTheirFileSystemAndLabel) {
  TempDir dir;
  std::string why;
  auto loop = LoopDevice::create(dir.path(), {64ull << 20, 512, "label: dos\n2048,32768,c\n34816,32768,83\n"}, why);
  if (!loop) GTEST_SKIP() << why;
  ASSERT_TRUE(LoopDevice::makeFat(loop->partition(1), "PHOTOS"));
  ASSERT_TRUE(LoopDevice::makeExt2(loop->partition(2), "DATA"));

  const auto handle = std::make_shared<vrk::FileHandle>(::open(loop->path().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(handle->isValid());
  const libSysHost::WindowsDrive drive(handle);
  struct Case {
    std::string node, type, label;
  };
  const Case cases[] = {{loop->partition(1), "vfat", "PHOTOS"}, {loop->partition(2), "ext2", "DATA"}};
  ASSERT_EQ(2u, drive.volumes().size());
  for (u32 i = 0; i < 2; ++i) {
    const libSysHost::Volume& volume = drive.volumes()[i];
    EXPECT_EQ(cases[i].node, volume.getOSLocator().str());
    EXPECT_EQ(cases[i].type, volume.getFileSystem().type.str()) << cases[i].node;
    EXPECT_EQ(cases[i].label, volume.getFileSystem().label.str()) << cases[i].node;
    EXPECT_FALSE(volume.getFileSystem().uuid.empty()) << cases[i].node;
  }

  const Listing listing = enumerate(0x10);
  if (!reached(listing, loop->path())) GTEST_SKIP() << listing.failedOn << " cannot be opened and comes first";
  const DiskDevice* d = find(listing.devices, loop->backingFile());
  ASSERT_NE(nullptr, d);
  EXPECT_NE(std::string::npos, d->description().str().find("(64.0 MiB), vfat 'PHOTOS', ext2 'DATA'"))
      << d->description();
}

}  // namespace
}  // namespace vantor

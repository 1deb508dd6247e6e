// The Windows drive layer against a made-up machine (FakeWinApi): which disks are listed
// and as what kind, the volumes of a drive from their extents, mount points, the lock,
// dismount and unlock sequence with its failure paths, write-protected and empty media,
// and the system told to read the table again after a write. No device of the machine
// running the tests is opened: every handle is a file in the fake's temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/DeviceQueries.h>
#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/WinApi.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/SysHost.h>
#include <vrk/Files.h>

#include "support/LogCapture.h"
#include "support/ThrowsVantor.h"
#include "support/windows/FakeWinApi.h"

namespace vantor {
namespace {

using test::FakeWinApi;
using Log = std::vector<std::string>;

const wchar_t* const kPhotos = L"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\";
const wchar_t* const kMusic = L"\\\\?\\Volume{00000000-0000-0000-0000-000000000002}\\";
const wchar_t* const kSystem = L"\\\\?\\Volume{00000000-0000-0000-0000-000000000003}\\";
const wchar_t* const kSpanned = L"\\\\?\\Volume{00000000-0000-0000-0000-000000000004}\\";

std::string capacity(u64 bytes) { return vrk::NonDiscreteMeasurement(static_cast<double>(bytes)).toString(1).str(); }

// A machine with an internal disk 0 (one volume, C:), an SD card 1 (no medium) and a
// USB key 2 with two volumes; the fake answers while the object lives.
struct Machine : ::testing::Test {
  FakeWinApi fake;
  FakeWinApi::Scope scope{fake};

  FakeWinApi::Disk internal() {
    FakeWinApi::Disk d;
    d.number = 0;
    d.bus = BusTypeSata;
    d.vendor = "ACME";
    d.product = "SSD 990";
    d.sizeBytes = 8 << 20;
    return d;
  }
  FakeWinApi::Disk card() {
    FakeWinApi::Disk d;
    d.number = 1;
    d.bus = BusTypeSd;
    d.product = "Card Reader";
    d.removableMedia = true;
    d.mediaType = RemovableMedia;
    d.noMedium = true;
    return d;
  }
  FakeWinApi::Disk key() {
    FakeWinApi::Disk d;
    d.number = 2;
    d.bus = BusTypeUsb;
    d.vendor = "Kingston";
    d.product = "DataTraveler 3.0";
    d.sizeBytes = 4 << 20;
    d.mediaType = RemovableMedia;
    return d;
  }
  FakeWinApi::Volume photos() {  // E:, and also mounted on a folder
    FakeWinApi::Volume v;
    v.name = kPhotos;
    v.pieces = {{2, 1 << 20, 1 << 20}};
    v.paths = {L"E:\\", L"C:\\mnt\\photos\\"};
    v.fileSystem = L"FAT32";
    v.label = L"PHOTOS";
    v.serial = 0x1234ABCD;
    return v;
  }
  FakeWinApi::Volume music() {  // no drive letter, lies before PHOTOS on the key
    FakeWinApi::Volume v;
    v.name = kMusic;
    v.pieces = {{2, 64 << 10, 512 << 10}};
    v.fileSystem = L"exFAT";
    return v;
  }
  FakeWinApi::Volume system() {
    FakeWinApi::Volume v;
    v.name = kSystem;
    v.pieces = {{0, 1 << 20, 4 << 20}};
    v.paths = {L"C:\\"};
    v.fileSystem = L"NTFS";
    return v;
  }

  std::shared_ptr<WinDiskDevice> openKey() {
    return std::make_shared<WinDiskDevice>(vrk::String("\\\\.\\PhysicalDrive2"));
  }
};

struct UsbKey : Machine {
  void SetUp() override {
    fake.addDisk(key());
    fake.addVolume(music());   // V1
    fake.addVolume(photos());  // V2
  }
};

TEST(WindowsBusTypes, GiveTheDeviceKinds) {
  struct Case {
    STORAGE_BUS_TYPE bus;
    libSysHost::WinDeviceType type;
  };
  const Case cases[] = {
      {BusTypeUsb, libSysHost::DEVICE_USB_DISK},        {BusTypeSd, libSysHost::DEVICE_MEMORY_CARD},
      {BusTypeMmc, libSysHost::DEVICE_MEMORY_CARD},     {BusTypeVirtual, libSysHost::DEVICE_VIRTUAL_DISK},
      {BusTypeFileBackedVirtual, libSysHost::DEVICE_VIRTUAL_DISK},
      {BusTypeSpaces, libSysHost::DEVICE_VIRTUAL_DISK}, {BusTypeSata, libSysHost::DEVICE_INTERNAL_DISK},
      {BusTypeAta, libSysHost::DEVICE_INTERNAL_DISK},   {BusTypeScsi, libSysHost::DEVICE_INTERNAL_DISK},
      {BusTypeNvme, libSysHost::DEVICE_INTERNAL_DISK},  {BusTypeUnknown, libSysHost::DEVICE_INTERNAL_DISK},
  };
  for (const Case& c : cases) EXPECT_EQ(os::deviceTypeOfBus(c.bus), c.type) << "bus " << c.bus;
}

TEST_F(Machine, ListsEachDiskOnceByNumberWithItsKindAndText) {
  fake.addDisk(key());
  fake.addDisk(internal());
  fake.addDisk(card());
  fake.addInterfaceFor(0);  // listed twice by the system
  fake.addVolume(photos());
  fake.addVolume(music());
  fake.addVolume(system());

  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  ASSERT_EQ(set.size(), 3u);
  EXPECT_EQ(set[0].getOsLocator().str(), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(set[1].getOsLocator().str(), "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(set[2].getOsLocator().str(), "\\\\.\\PhysicalDrive2");
  EXPECT_EQ(set[0].getType(), libSysHost::DEVICE_INTERNAL_DISK);
  EXPECT_EQ(set[1].getType(), libSysHost::DEVICE_MEMORY_CARD);
  EXPECT_EQ(set[2].getType(), libSysHost::DEVICE_USB_DISK);
  vrk::String text;
  set[0].getDisplayName(text, vrk::String());
  EXPECT_EQ(text.str(), "ACME SSD 990 (" + capacity(8 << 20) + "), NTFS");
  set[1].getDisplayName(text, vrk::String());
  EXPECT_EQ(text.str(), "Card Reader");  // no medium: no size
  set[2].getDisplayName(text, vrk::String());
  EXPECT_EQ(text.str(), "Kingston DataTraveler 3.0 (" + capacity(4 << 20) + "), exFAT, FAT32 'PHOTOS'");
  // Listing leaves the system unable to ask the user about an empty drive.
  EXPECT_EQ(fake.errorMode(), UINT(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
}

TEST_F(Machine, LeavesOutInterfacesThatAreNotDisks) {
  FakeWinApi::Disk optical;
  optical.number = 5;
  optical.deviceType = FILE_DEVICE_CD_ROM;
  fake.addDisk(optical);
  fake.addDisk(internal());
  libSysHost::WindowsDeviceSet set;
  set.appendDisks();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].getOsLocator().str(), "\\\\.\\PhysicalDrive0");
}

TEST_F(Machine, ListsFloppyDrivesByTheirInterface) {
  fake.addFloppy(L"\\\\?\\fdc#floppy#0");
  libSysHost::WindowsDeviceSet set;
  set.appendFloppies();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].getOsLocator().str(), "\\\\?\\fdc#floppy#0");
  EXPECT_EQ(set[0].getType(), libSysHost::DEVICE_FLOPPY);
}

TEST_F(Machine, EnumerationKeepsTheKindsAskedFor) {
  fake.addDisk(internal());
  fake.addDisk(card());
  fake.addDisk(key());
  FakeWinApi::Disk vhd = internal();
  vhd.number = 3;
  vhd.bus = BusTypeFileBackedVirtual;
  fake.addDisk(vhd);
  fake.addVolume(photos());

  const auto locators = [](u32 flags, u16 sectorSize = 0) {
    vrk::Array<DiskDevice> devices;
    DiskDevice::enumDevices(devices, flags, sectorSize);
    std::vector<std::string> found;
    for (const DiskDevice& d : devices) found.push_back(static_cast<const WinDiskDevice&>(d.rawDisk()).getLocator().str());
    return found;
  };
  using L = std::vector<std::string>;
  EXPECT_EQ(locators(0x00), L{});
  EXPECT_EQ(locators(0x02), L{"\\\\.\\PhysicalDrive0"});
  EXPECT_EQ(locators(0x04), L{"\\\\.\\PhysicalDrive2"});
  EXPECT_EQ(locators(0x08), L{"\\\\.\\PhysicalDrive1"});
  EXPECT_EQ(locators(0x10), (L{"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2",
                               "\\\\.\\PhysicalDrive3"}));
  EXPECT_EQ(locators(0x30), (L{"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive3"}));  // removable dropped
  EXPECT_EQ(locators(0x50), (L{"\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2"}));  // fixed dropped
  EXPECT_EQ(locators(0x10, 4096), L{});

  vrk::Array<DiskDevice> devices;
  DiskDevice::enumDevices(devices, 0x04, 0);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].mountPoints().size(), 2u);
  EXPECT_EQ(devices[0].mountPoints()[0].str(), "E:");
  EXPECT_EQ(devices[0].capacityBytes(), u64(4) << 20);
  EXPECT_EQ(devices[0].getMediaType(), MEDIA_REMOVABLE);
}

TEST_F(Machine, ADriveOpensReadWriteSharedAndUncached) {
  fake.addDisk(key());
  const auto drive = openKey();
  const FakeWinApi::Open& open = fake.opens().front();
  EXPECT_EQ(open.path, L"\\\\.\\PhysicalDrive2");
  EXPECT_EQ(open.access, DWORD(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(open.share, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_EQ(open.flags, DWORD(FILE_FLAG_NO_BUFFERING));
  EXPECT_FALSE(drive->isWriteProtected());
  EXPECT_EQ(drive->getSizeBytes(), u64(4) << 20);
  EXPECT_EQ(drive->getSectorSize(), 512u);
}

TEST_F(Machine, AWriteProtectedMediumOpensForReading) {
  FakeWinApi::Disk refusing = key();
  refusing.writeProtected = true;
  fake.addDisk(refusing);
  EXPECT_TRUE(openKey()->isWriteProtected());
}

TEST_F(Machine, ADriveThatRefusesAReadWriteOpenOpensForReading) {
  FakeWinApi::Disk refusing = key();
  refusing.readWriteOpenError = ERROR_WRITE_PROTECT;
  fake.addDisk(refusing);
  const auto drive = openKey();
  EXPECT_TRUE(drive->isWriteProtected());
  EXPECT_EQ(fake.opens()[1].access, DWORD(GENERIC_READ));
  EXPECT_EQ(drive->getSizeBytes(), u64(4) << 20);
}

TEST_F(Machine, AnEmptySlotOpensAsADriveOfNoBytes) {
  fake.addDisk(card());
  WinDiskDevice drive(vrk::String("\\\\.\\PhysicalDrive1"));
  EXPECT_EQ(drive.getSizeBytes(), 0u);
  EXPECT_EQ(drive.getSectorSize(), 512u);
  EXPECT_EQ(drive.getMediaType(), MEDIA_REMOVABLE);
}

TEST_F(Machine, AnUnknownLocatorIsADiskAccessError) {
  test::LogCapture log("vantor.WinDiskDevice");
  EXPECT_TRUE(test::throwsVantor([] { (void)DiskFactory::getDiskDevice(vrk::String("\\\\.\\PhysicalDrive7")); }, ERR_DISK_ACCESS,
                                 "Failed to open handle to device \"\\\\.\\PhysicalDrive7\""));
  EXPECT_EQ(log.records(), Log{"158 Failed to open handle to disk device (2)"});
}

TEST_F(Machine, TheVolumesOfADriveAreThoseWithAPieceOnItInDiskOrder) {
  fake.addDisk(internal());
  fake.addDisk(key());
  fake.addVolume(photos());
  fake.addVolume(system());
  fake.addVolume(music());
  FakeWinApi::Volume spanned;  // three pieces: asked again with room for all of them
  spanned.name = kSpanned;
  spanned.pieces = {{0, 5 << 20, 1 << 20}, {2, 2 << 20, 1 << 20}, {2, 3 << 20, 512 << 10}};
  fake.addVolume(spanned);

  const auto handle = std::make_shared<vrk::FileHandle>(fake.createFile(L"\\\\.\\PhysicalDrive2", 0, 3, OPEN_EXISTING, 0));
  libSysHost::WindowsDrive drive(handle);
  const vrk::Array<libSysHost::Volume>& volumes = drive.volumes();
  ASSERT_EQ(volumes.size(), 3u);
  EXPECT_EQ(volumes[0].getOSLocator().str(), "\\\\?\\Volume{00000000-0000-0000-0000-000000000002}");
  EXPECT_EQ(volumes[1].getOSLocator().str(), "\\\\?\\Volume{00000000-0000-0000-0000-000000000001}");
  EXPECT_EQ(volumes[2].getOSLocator().str(), "\\\\?\\Volume{00000000-0000-0000-0000-000000000004}");
  libSysHost::VolumeExtent extent;
  ASSERT_TRUE(volumes[0].getExtent(extent));
  EXPECT_EQ(extent, (libSysHost::VolumeExtent{64 << 10, 512 << 10}));
  ASSERT_TRUE(volumes[1].getExtent(extent));
  EXPECT_EQ(extent, (libSysHost::VolumeExtent{1 << 20, 1 << 20}));
  EXPECT_FALSE(volumes[2].getExtent(extent));  // several pieces
  char letter = 0;
  EXPECT_FALSE(volumes[0].getDriveLetter(letter));
  ASSERT_TRUE(volumes[1].getDriveLetter(letter));
  EXPECT_EQ(letter, 'E');
  EXPECT_EQ(volumes[1].getFileSystem().type.str(), "FAT32");
  EXPECT_EQ(volumes[1].getFileSystem().label.str(), "PHOTOS");
  EXPECT_EQ(volumes[1].getFileSystem().uuid.str(), "1234-ABCD");
  EXPECT_EQ(drive.getMediaType(), libSysHost::WindowsDrive::RemovableMedia);
  EXPECT_EQ(fake.threadErrorMode(), 0u);  // quiet only while it asked
}

TEST_F(UsbKey, MountPointsAreDriveLettersThenFolders) {
  vrk::Array<vrk::String> points;
  openKey()->getMountPoints(points);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0].str(), "E:");
  EXPECT_EQ(points[1].str(), "C:\\mnt\\photos");
}

TEST_F(UsbKey, DismountLocksThenDismountsEachVolumeAndMountGivesThemBack) {
  const auto drive = openKey();
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_EQ(fake.log(), (Log{"lock V1", "lock V2", "dismount V1", "dismount V2"}));
  const auto volumeOpens = std::count_if(fake.opens().begin(), fake.opens().end(), [](const FakeWinApi::Open& o) {
    return o.path.rfind(L"\\\\?\\Volume", 0) == 0 && o.access == DWORD(GENERIC_READ | GENERIC_WRITE);
  });
  EXPECT_GE(volumeOpens, 2);
  EXPECT_TRUE(drive->dismountDrive());  // already dismounted: nothing asked again
  EXPECT_EQ(fake.log().size(), 4u);

  fake.clearLog();
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ(fake.log(), (Log{"update 2", "GetLogicalDrives"}));
  // A fresh bookkeeping: the next dismount locks again.
  fake.clearLog();
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_EQ(fake.log(), (Log{"lock V1", "lock V2", "dismount V1", "dismount V2"}));
}

TEST_F(UsbKey, DestroyingADismountedDriveGivesTheVolumesBack) {
  {
    const auto drive = openKey();
    ASSERT_TRUE(drive->dismountDrive());
    fake.clearLog();
  }
  EXPECT_EQ(fake.log(), (Log{"update 2", "GetLogicalDrives"}));
}

TEST_F(Machine, ARefusedLockStopsBeforeAnyDismount) {
  fake.addDisk(key());
  fake.addVolume(music());
  FakeWinApi::Volume busy = photos();
  busy.lockError = ERROR_ACCESS_DENIED;
  fake.addVolume(busy);
  test::LogCapture log("vantor.WinDiskDevice");
  const auto drive = openKey();
  EXPECT_FALSE(drive->dismountDrive());
  EXPECT_EQ(fake.log(), (Log{"lock V1", "lock V2 refused", "unlock V1"}));
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].rfind("96 The volume \"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\"", 0), 0u)
      << log.records()[0];
}

TEST_F(Machine, ARefusedDismountUnlocksEveryVolume) {
  fake.addDisk(key());
  fake.addVolume(music());
  FakeWinApi::Volume busy = photos();
  busy.dismountError = ERROR_ACCESS_DENIED;
  fake.addVolume(busy);
  test::LogCapture log("vantor.WinDiskDevice");
  const auto drive = openKey();
  EXPECT_FALSE(drive->dismountDrive());
  EXPECT_EQ(fake.log(), (Log{"lock V1", "lock V2", "dismount V1", "dismount V2 refused", "unlock V1", "unlock V2",
                             "GetLogicalDrives"}));
  const Log records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].rfind("96 The volume \"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\" mounted on \"E:\"", 0),
            0u)
      << records[0];
  EXPECT_EQ(records[1], "95 Unable to dismount a volume, unlocking and remounting all volumes");
  // Nothing is held afterwards: a later attempt starts from the beginning.
  fake.clearLog();
  EXPECT_FALSE(drive->dismountDrive());
  EXPECT_EQ(fake.log().front(), "lock V1");
}

TEST_F(UsbKey, UnlockingVolumesThatWereNeverLockedFails) {
  test::LogCapture log("vantor.WinDiskDevice");
  EXPECT_FALSE(openKey()->unlockDrive());
  EXPECT_EQ(log.records(), Log{"82 Unable to lock a volume"});
}

TEST_F(UsbKey, LockAndUnlockPairUp) {
  const auto drive = openKey();
  ASSERT_TRUE(drive->lockDrive());
  ASSERT_TRUE(drive->unlockDrive());
  EXPECT_EQ(fake.log(), (Log{"lock V1", "lock V2", "unlock V1", "unlock V2"}));
}

TEST_F(Machine, AVolumeThatCannotBeOpenedFailsTheLock) {
  fake.addDisk(key());
  FakeWinApi::Volume closed = photos();
  closed.openError = ERROR_ACCESS_DENIED;
  fake.addVolume(closed);
  test::LogCapture log("vantor.WinDiskDevice");
  const auto drive = openKey();
  EXPECT_FALSE(drive->lockDrive());
  EXPECT_TRUE(fake.log().empty());
  EXPECT_EQ(log.records(),
            Log{"133 Failed to open volume handle on \"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\""});
}

TEST_F(Machine, ADriveWithoutVolumesHasNothingToHold) {
  fake.addDisk(key());
  const auto drive = openKey();
  vrk::Array<vrk::String> points;
  drive->getMountPoints(points);
  EXPECT_TRUE(points.empty());
  EXPECT_TRUE(drive->lockDrive());
  EXPECT_TRUE(drive->unlockDrive());
  EXPECT_TRUE(drive->dismountDrive());
  EXPECT_TRUE(drive->mountDrive());
}

TEST_F(UsbKey, AWrittenTableIsReadAgainByTheSystem) {
  const auto drive = openKey();
  ASSERT_TRUE(drive->dismountDrive());
  DiskBufferPointer sector(512);
  sector.get()[510] = 0x55;
  sector.get()[511] = 0xAA;
  ASSERT_TRUE(drive->writeSectors(0, sector.get(), 1));
  fake.clearLog();
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ(fake.log(), (Log{"update 2", "GetLogicalDrives"}));
  const std::string bytes = fake.diskBytes(2);
  ASSERT_GE(bytes.size(), 512u);
  EXPECT_EQ(static_cast<u8>(bytes[510]), 0x55);
  EXPECT_EQ(static_cast<u8>(bytes[511]), 0xAA);
}

}  // namespace
}  // namespace vantor

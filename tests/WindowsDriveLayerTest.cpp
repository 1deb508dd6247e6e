// The Windows drive layer against a made-up machine (FakeWinApi): which disks are listed
// and as what kind, the volumes of a drive from their extents, write-protected and empty
// media, the lock and dismount sequence with its undo when a volume refuses, and the
// mount back that has the system read the table again. No device of the machine running
// the tests is opened: every handle is a file in the fake's temporary folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <libVantor/DiskDevice.h>
#include <libVantor/DriveListing.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinApi.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WriteSafety.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/SysHost.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"
#include "support/windows/FakeWinApi.h"

namespace vantor {
namespace {

using test::FakeWinApi;
using test::TempDir;
using Log = std::vector<std::string>;

std::string capacity(u64 bytes) { return vrk::NonDiscreteMeasurement(static_cast<double>(bytes)).toString(1).str(); }

// Disks 0 (internal: C: and a piece of V4), 1 (an SD card reader without a medium), 2 (a
// USB key: V2 first, then V1 on E: and a folder, then pieces of V4) and 3 (virtual), with
// disk 0 listed twice and a CD-ROM drive among the disk interfaces.
struct Machine : ::testing::Test {
  void SetUp() override {
    fake.addDisk({.number = 2, .bus = BusTypeUsb, .product = "Kingston DataTraveler 3.0", .sizeBytes = 4 << 20});
    fake.addDisk({.number = 0, .bus = BusTypeSata, .product = "ACME SSD 990", .sizeBytes = 8 << 20});
    fake.addDisk({.number = 1, .bus = BusTypeSd, .product = "Card Reader"});
    fake.addDisk({.number = 5, .deviceType = FILE_DEVICE_CD_ROM});
    fake.addDisk({.number = 3, .bus = BusTypeFileBackedVirtual, .product = "Virtual Disk", .sizeBytes = 1 << 20});
    fake.addDisk({.number = 0, .bus = BusTypeSata, .product = "ACME SSD 990", .sizeBytes = 8 << 20});
    fake.addVolume({.pieces = {{2, 1 << 20, 1 << 20}}, .paths = {L"E:\\", L"C:\\mnt\\photos\\"}, .fileSystem = L"FAT32",
                    .label = L"PHOTOS"});
    fake.addVolume({.pieces = {{2, 64 << 10, 512 << 10}}, .fileSystem = L"exFAT"});
    fake.addVolume({.pieces = {{0, 1 << 20, 4 << 20}}, .paths = {L"C:\\"}, .fileSystem = L"NTFS"});
    // Three pieces: its extents are asked again with room for all of them.
    fake.addVolume({.pieces = {{0, 5 << 20, 1 << 20}, {2, 2 << 20, 1 << 20}, {2, 3 << 20, 512 << 10}},
                    .fileSystem = L"NTFS", .label = L"SPAN"});
  }

  std::shared_ptr<WinDiskDevice> open(int disk) {
    return std::make_shared<WinDiskDevice>(vrk::String("\\\\.\\PhysicalDrive" + std::to_string(disk)));
  }

  FakeWinApi fake;
  os::WinApiOverride scope{fake};
};

// Each disk once, by number, with its volumes in disk order in its text (a path of a
// multipath disk, device number 0xFFFFFFFF, not at all); the kind of each (from its bus)
// decides which listings take it. A floppy drive answers its own number N with partition
// number -1 (it cannot be partitioned): it is not \\.\PhysicalDriveN, so it has none of
// that disk's volumes, and dismounting it locks nothing of disk N. A drive opens
// read-write (shared and uncached: the fake checks that); for reading only when the medium
// or the device refuses writes; an empty slot as a drive of no bytes. Its mount points are
// the drive letters of its volumes, then their folders.
TEST_F(Machine, ListsEachDiskOnceAndOpensItReadWriteUnlessItsMediumRefuses) {
  fake.addDisk({.number = 0xFFFFFFFF, .bus = BusTypeSas, .product = "MPIO path", .sizeBytes = 1 << 20});
  fake.addDisk({.number = 0, .product = "Floppy", .sizeBytes = 1474560, .floppy = true});
  fake.errorMode = SEM_NOGPFAULTERRORBOX;
  libSysHost::WindowsDeviceSet set;
  set.appendFloppies();
  set.appendDisks();
  const std::string expected[] = {
      "\\\\?\\floppy#0: Floppy drive 0",
      "\\\\.\\PhysicalDrive0: ACME SSD 990 (" + capacity(8 << 20) + "), NTFS, NTFS 'SPAN'",
      "\\\\.\\PhysicalDrive1: Card Reader",  // no medium: no size
      "\\\\.\\PhysicalDrive2: Kingston DataTraveler 3.0 (" + capacity(4 << 20) + "), exFAT, FAT32 'PHOTOS', NTFS 'SPAN'",
      "\\\\.\\PhysicalDrive3: Virtual Disk (" + capacity(1 << 20) + ")"};
  ASSERT_EQ(set.size(), 5u);
  for (u32 i = 0; i < set.size(); ++i) {
    vrk::String text;
    set[i].getDisplayName(text, vrk::String());
    EXPECT_EQ(set[i].getOsLocator().str() + ": " + text.str(), expected[i]);
  }
  WinDiskDevice floppy(set[0].getOsLocator());
  vrk::Array<vrk::String> points;
  floppy.getMountPoints(points);
  EXPECT_TRUE(points.empty()) << points[0].str();
  EXPECT_TRUE(floppy.dismountDrive());
  EXPECT_EQ(fake.log, Log{});
  // Listing leaves the system unable to ask the user about an empty drive, and keeps the host's own mode.
  EXPECT_EQ(fake.errorMode, UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));

  // The numbers of the disks listed for the kinds asked for, less the media dropped.
  const auto numbers = [](u32 flags) {
    vrk::Array<DiskDevice> devices;
    DiskDevice::enumDevices(devices, flags, 0);
    std::string found;
    for (const DiskDevice& d : devices) found += static_cast<const WinDiskDevice&>(d.rawDisk()).getLocator().str().back();
    return found;
  };
  // {flags, the disks listed}: 0x20 drops removable media, 0x40 fixed media.
  const std::pair<u32, std::string> listings[] = {{0x02, "0"}, {0x04, "2"}, {0x08, "1"}, {0x30, "03"}, {0x50, "12"}};
  for (const auto& [flags, listed] : listings) EXPECT_EQ(numbers(flags), listed) << flags;

  // {the request refused with ERROR_WRITE_PROTECT, the disk, whether it is write-protected, its size}
  const std::tuple<const char*, int, bool, u64> cases[] = {
      {"", 2, false, 4 << 20}, {"writable 2", 2, true, 4 << 20}, {"open disk 2", 2, true, 4 << 20}, {"", 1, true, 0}};
  for (const auto& [refused, disk, writeProtected, sizeBytes] : cases) {
    SCOPED_TRACE(refused);
    fake.refuse = {{refused, ERROR_WRITE_PROTECT}};
    const auto drive = open(disk);
    EXPECT_EQ(drive->isWriteProtected(), writeProtected);
    EXPECT_EQ(drive->getSizeBytes(), sizeBytes);
    EXPECT_EQ(drive->getSectorSize(), 512u);
  }
  EXPECT_EQ(fake.threadErrorMode, 0u);  // quiet only while it asked
  open(2)->getMountPoints(points);  // the drive letters, then the folders
  EXPECT_EQ(fake.volumeWriteOpens, 0) << "only the lock opens a volume read-write";
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0].str(), "E:");
  EXPECT_EQ(points[1].str(), "C:\\mnt\\photos");
}

// A dismount locks every volume of the drive in disk order, then dismounts each. When a
// volume refuses to open, lock or dismount, the drive undoes what it did, names the
// volume, and holds nothing: the next dismount starts from the beginning. Mounting back
// has the system read the table again, then lets the volumes go (the system mounts a
// volume again the moment its lock ends: before the new table, it would mount the old
// partition over the new data); so does destroying a dismounted drive.
TEST_F(Machine, DismountLocksThenDismountsAndUndoesAllWhenAVolumeRefuses) {
  // A refused lock is tried 20 times, 250 ms apart, before the drive gives up.
  Log lockRefused{"lock V2"};
  lockRefused.insert(lockRefused.end(), 20, "lock V1 refused");
  lockRefused.push_back("unlock V2");
  const std::string inUse = "96 The volume \"\\\\?\\Volume{V1}\" mounted on \"E:\" is in use";
  // {the request refused with ERROR_ACCESS_DENIED, the log, how the drive's first log record
  // starts, the times the request is done before the refusals start}
  const std::tuple<const char*, Log, std::string, int> cases[] = {
      // Gone after the two listings (the drive's, then the dismount's): it does not open.
      {"probe V1", {}, "133 Failed to open volume handle on \"\\\\?\\Volume{V1}\"", 2},
      // It opens for queries but not read-write (a user without the right): the lock fails.
      {"open V1", {"lock V2", "unlock V2"}, inUse, 0},
      {"lock V1", lockRefused, inUse, 0},
      {"dismount V1",
       {"lock V2", "lock V1", "lock V4", "dismount V2", "dismount V1 refused", "unlock V2", "unlock V1", "unlock V4",
        "GetLogicalDrives"},
       inUse, 0},
  };
  const Log dismounted{"lock V2", "lock V1", "lock V4", "dismount V2", "dismount V1", "dismount V4"};
  const Log mountedBack{"update 2", "release V2", "release V1", "release V4", "GetLogicalDrives"};
  for (const auto& [refused, refusedLog, record, allowedFirst] : cases) {
    SCOPED_TRACE(refused);
    fake.refuse = {{refused, ERROR_ACCESS_DENIED}};
    fake.allowFirst = {{refused, allowedFirst}};
    auto drive = open(2);
    {
      test::LogCapture records("vantor.WinDiskDevice");
      EXPECT_FALSE(drive->dismountDrive());
      EXPECT_EQ(fake.takeLog(), refusedLog);
      ASSERT_FALSE(records.records().empty());
      EXPECT_EQ(records.records()[0].rfind(record, 0), 0u) << records.records()[0];
    }
    fake.refuse.clear();
    ASSERT_TRUE(drive->dismountDrive());
    EXPECT_TRUE(drive->dismountDrive());  // already dismounted: nothing asked again
    EXPECT_EQ(fake.takeLog(), dismounted);
    EXPECT_TRUE(drive->mountDrive());
    EXPECT_EQ(fake.takeLog(), mountedBack);
    ASSERT_TRUE(drive->dismountDrive());  // mounted back: a fresh bookkeeping locks again
    EXPECT_EQ(fake.takeLog(), dismounted);
    drive.reset();
    EXPECT_EQ(fake.takeLog(), mountedBack);
  }
}

// A volume in use is locked once the program holding it lets go within the 20 tries; the
// tries wait through the system (no real waiting here). (One still refused after them:
// the dismount test.) A key pulled during a write: whichever of the codes Windows gives
// for a device gone (or its medium changed), the write throws ERR_MEDIA_CHANGED; other
// failures (ERROR_CRC, below) do not. A volume whose sectors were written while it was
// dismounted (a write that failed may have changed some) does not come back: it is logged
// and taken offline while it is still locked. A write outside every volume keeps only V4
// off: it lies in three pieces, so where it lay is not known.
TEST_F(Machine, AVolumeWrittenWhileDismountedIsTakenOfflineBeforeItsLockEnds) {
  DiskBufferPointer sector(512);
  fake.refuseTimes = {{"lock V1", 3}};
  auto drive = open(2);
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_EQ(fake.takeLog(), (Log{"lock V2", "lock V1 refused", "lock V1 refused", "lock V1 refused", "lock V1",
                                 "lock V4", "dismount V2", "dismount V1", "dismount V4"}));
  EXPECT_EQ(fake.sleeps, (std::vector<DWORD>(3, 250)));
  EXPECT_EQ(fake.volumeWriteOpens, 3) << "once each, to be locked";
  for (DWORD error : {ERROR_MEDIA_CHANGED, ERROR_NOT_READY, ERROR_NO_MEDIA_IN_DRIVE, ERROR_DEVICE_NOT_CONNECTED,
                      ERROR_NO_SUCH_DEVICE}) {
    SCOPED_TRACE(error);
    fake.refuse = {{"write disk 2", error}};
    EXPECT_TRUE(test::throwsVantor([&] { (void)drive->writeSectors(0, sector.get(), 1); }, ERR_MEDIA_CHANGED,
                                   "Drive reports that the media may have changed. Reinsert device."));
  }
  fake.refuse.clear();
  EXPECT_TRUE(drive->writeSectors(0, sector.get(), 1));  // the table
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ(fake.takeLog(),
            (Log{"update 2", "offline V4", "release V2", "release V1", "release V4", "GetLogicalDrives"}));

  ASSERT_TRUE(drive->dismountDrive());
  fake.refuse = {{"write disk 2", ERROR_CRC}};
  EXPECT_FALSE(drive->writeSectors(2048, sector.get(), 1));  // inside V1, at 1 MiB
  fake.refuse.clear();
  fake.log.clear();
  test::LogCapture records("vantor.WinDiskDevice");
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ(fake.takeLog(), (Log{"update 2", "offline V4", "offline V1", "release V2", "release V1", "release V4",
                                 "GetLogicalDrives"}));
  ASSERT_EQ(records.records().size(), 2u);
  EXPECT_EQ(records.records()[1],
            "243 Not mounting \"\\\\?\\Volume{V1}\" on \"E:\" again: sectors of the volume were written while it "
            "was dismounted");
}

// The listing a host shows: each disk once, with its kind, media, size, whether its medium
// refuses writes or it does not open, and its volumes in disk order with their file
// systems, labels, letters and folders; the drive holding C: shows it among its mount
// points. Lettered volumes that lie on no disk (a SUBST, network or RAM drive: their
// extents query fails with ERROR_INVALID_FUNCTION) or whose medium is out (an empty
// card-reader slot: ERROR_NOT_READY) belong to no drive, and a drive dismounts its own
// volumes only.
TEST_F(Machine, TheListingShowsEachDiskWithItsVolumesLettersAndLabels) {
  fake.addVolume({.paths = {L"R:\\"}, .fileSystem = L"NTFS", .label = L"SHARE"});                 // V5
  fake.addVolume({.paths = {L"F:\\"}});                                                          // V6
  fake.addVolume({.pieces = {{2, 3 << 20, 1 << 20}}, .paths = {L"G:\\"}, .fileSystem = L"FAT32"});  // V7
  fake.refuse = {{"extents V5", ERROR_INVALID_FUNCTION}, {"extents V6", ERROR_NOT_READY},
                 {"extents V7", ERROR_NOT_READY},        {"writable 2", ERROR_WRITE_PROTECT},
                 {"read disk 3", ERROR_ACCESS_DENIED}};
  // (Kinds: 1 USB, 2 card, 4 internal, 8 virtual; media: 0 removable, 1 fixed.)
  const std::string expected[] = {
      "4/1 8388608/512 rw C: | \\\\?\\Volume{V3} NTFS '' [C:] - @1048576+4194304 C:; "
      "\\\\?\\Volume{V4} NTFS 'SPAN' [] - ?;",
      "2/0 0/0 rw |",
      "1/0 4194304/512 ro E: C:\\mnt\\photos | \\\\?\\Volume{V2} exFAT '' [] - @65536+524288; \\\\?\\Volume{V1} FAT32 "
      "'PHOTOS' [E:] - @1048576+1048576 E: C:\\mnt\\photos; \\\\?\\Volume{V4} NTFS 'SPAN' [] - ?;",
      "8/1 1048576/512 rw, does not open |"};
  const std::vector<LISTED_DRIVE> drives = DriveListing::drives();
  ASSERT_EQ(drives.size(), 4u);
  for (std::size_t i = 0; i < drives.size(); ++i) {
    EXPECT_EQ(drives[i].locator, "\\\\.\\PhysicalDrive" + std::to_string(i));
    EXPECT_EQ(test::describe(drives[i]), expected[i]) << drives[i].openError;
  }
  EXPECT_EQ(drives[2].product, "Kingston DataTraveler 3.0");
  LISTED_DRIVE found;
  ASSERT_TRUE(DriveListing::find("\\\\.\\PhysicalDrive2", found));
  EXPECT_EQ(found.displayText, drives[2].displayText);
  ASSERT_TRUE(DriveListing::find("\\\\.\\PhysicalDrive2", found, DriveListing::WITHOUT_VOLUMES));
  EXPECT_EQ(found.product, drives[2].product);
  EXPECT_TRUE(found.volumes.empty());
  EXPECT_FALSE(DriveListing::find("\\\\.\\PhysicalDrive9", found));
  const auto drive = open(2);
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_EQ(fake.log, (Log{"lock V2", "lock V1", "lock V4", "dismount V2", "dismount V1", "dismount V4"}));
}

// The running system spread over the machine: the Windows folder on C: (disk 0), the
// system partition on disk 3, a page file on E: (disk 2), the hibernation file on F:
// (disk 4), a dedicated crash-dump file on G: (disk 6). Restore, zeroing, the MBR write
// and the boot key each refuse those disks, naming why, before any volume is locked or
// dismounted; so is every disk while the Windows folder lies on no volume that answers.
// Disk 7, or a system disk the host allows, is written.
TEST_F(Machine, EveryWritingServiceRefusesTheDisksOfTheRunningSystem) {
  for (DWORD n : {4, 6, 7}) fake.addDisk({.number = n, .bus = BusTypeUsb, .product = "Key", .sizeBytes = 1 << 20});
  fake.addVolume({.pieces = {{3, 64 << 10, 512 << 10}}, .fileSystem = L"FAT32"});
  fake.addVolume({.pieces = {{4, 64 << 10, 512 << 10}}, .paths = {L"F:\\"}, .fileSystem = L"NTFS"});
  fake.addVolume({.pieces = {{6, 64 << 10, 512 << 10}}, .paths = {L"G:\\"}, .fileSystem = L"NTFS"});
  fake.registry[L"SYSTEM\\Setup\\SystemPartition"] = {L"\\Device\\HarddiskVolume5"};
  fake.registry[L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management\\ExistingPageFiles"] = {
      L"\\??\\E:\\pagefile.sys"};
  fake.registry[L"SYSTEM\\CurrentControlSet\\Control\\CrashControl\\DumpFile"] = {L"%SystemRoot%\\MEMORY.DMP"};
  fake.registry[L"SYSTEM\\CurrentControlSet\\Control\\CrashControl\\DedicatedDumpFile"] = {L"G:\\dumps\\MEMORY.DMP"};
  fake.files = {L"F:\\hiberfil.sys", L"C:\\pagefile.sys"};

  TempDir dir;
  const std::string image = dir.file("key.img");
  ASSERT_EQ("finished", test::runImaging(std::make_shared<test::FakeDisk>(512, 4096),
                                        [&](DiskImager& i) { return i.startReadingImage(image, true, false); }));
  const auto services = test::writingServices(image);
  const std::pair<int, std::string> systemDisks[] = {
      {0, "C: (the boot volume, with the Windows folder) is on it"},
      {3, "the system partition \\Device\\HarddiskVolume5 is on it"},
      {2, "E: (holding a page file, E:\\pagefile.sys) is on it"},
      {4, "F: (holding the hibernation file, F:\\hiberfil.sys) is on it"},
      {6, "G: (holding the crash-dump file, G:\\dumps\\MEMORY.DMP) is on it"},
      {7, "the volume of the Windows folder cannot be asked where it lies, so nothing tells the drive is unused"}};
  for (const auto& [disk, reason] : systemDisks) {
    SCOPED_TRACE(disk);
    if (disk == 7) fake.windowsFolder = L"";
    const std::string refusal =
        "error 17 refusing to write \\\\.\\PhysicalDrive" + std::to_string(disk) + ": it holds the running system (" + reason + ")";
    EXPECT_EQ(reason, WriteSafety::systemUse(*open(disk)).str());
    fake.log.clear();
    for (const auto& service : services) EXPECT_EQ(refusal, service(open(disk)));
    EXPECT_EQ(fake.log, Log{}) << "nothing locked, dismounted or written";
  }
  fake.windowsFolder = L"C:\\Windows";
  EXPECT_EQ("", WriteSafety::systemUse(*open(7)).str());
  EXPECT_EQ("finished", services[1](open(7)));
  const auto allowed = open(2);
  allowed->setSystemWritesAllowed(true);
  EXPECT_EQ("finished", services[1](std::shared_ptr<IDisk>(allowed->clone())));
}

}  // namespace
}  // namespace vantor

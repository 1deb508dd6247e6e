// Physical drives on real loop devices: mount points, dismount (the volumes are gone and
// cannot be mounted by anybody else), sector I/O through the uncached handle, mount
// (the volumes come back as they were, the kernel sees a newly written table), and the
// undo when a volume is busy. The kernel, mount(8) and findmnt are the oracle.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/LittleEndian.h>

#include "support/LogCapture.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"

namespace {
std::string refusedPath;  // opens of this path answer `refusal` as a card reader would
int refusal = 0;
}  // namespace

extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
  va_end(args);
  if (path == refusedPath && ((refusal == EROFS && (flags & O_ACCMODE) != O_RDONLY) ||
                              (refusal == ENOMEDIUM && !(flags & O_NONBLOCK)))) {
    errno = refusal;
    return -1;
  }
  return __real_open(path, flags, mode);
}

namespace vantor {
namespace {

using test::LoopDevice;
using test::TempDir;

const char* const kTwoPartitions = "label: dos\n2048,32768,83\n34816,32768,83\n";  // 16 MiB each

// What the device logs while the capture lives.
struct DeviceLog : test::LogCapture {
  DeviceLog() : LogCapture("vantor.WinDiskDevice") {}
};

// A partitioned loop device with ext2 on both partitions, partition 1 mounted at
// dir/mnt1 and holding the file "note.txt".
struct MountedDrive {
  TempDir dir;
  std::unique_ptr<LoopDevice> loop;
  std::string mnt1 = dir.file("mnt1");
  std::string why;

  bool make() {
    loop = LoopDevice::create(dir.path(), {64ull << 20, 512, kTwoPartitions}, why);
    if (!loop) return false;
    if (!LoopDevice::makeExt2(loop->partition(1)) || !LoopDevice::makeExt2(loop->partition(2)) ||
        !LoopDevice::mount(loop->partition(1), mnt1)) {
      why = "mkfs.ext2 or mount on " + loop->path() + " failed";
      return false;
    }
    test::writeFile(mnt1 + "/note.txt", "kept across dismount");
    return true;
  }
};

#define MAKE_OR_SKIP(fixture)                 \
  MountedDrive fixture;                       \
  if (!fixture.make()) GTEST_SKIP() << fixture.why

bool mountRefused(const std::string& node, const std::string& directory) {
  const bool mounted = LoopDevice::mount(node, directory);
  if (mounted) (void)test::run("umount '" + directory + "'");
  return !mounted;
}

// Partition number -> {start, size} in 512-byte units, as the kernel has them.
std::map<int, std::pair<u64, u64>> kernelPartitions(const std::string& name) {
  std::map<int, std::pair<u64, u64>> found;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block/" + name)) {
    if (!std::filesystem::exists(entry.path() / "partition")) continue;
    const auto number = [&](const char* file) { return std::stoull(test::readFile((entry.path() / file).string())); };
    found[int(number("partition"))] = {number("start"), number("size")};
  }
  return found;
}

TEST(WinDiskDevice, UnknownLocatorIsADiskAccessErrorNamingTheLocator) {
  DeviceLog log;
  EXPECT_TRUE(test::throwsVantor([] { (void)DiskFactory::getDiskDevice("/dev/vantor-no-such-drive"); },
                                 ERR_DISK_ACCESS, "Failed to open handle to device \"/dev/vantor-no-such-drive\""));
  EXPECT_EQ(std::vector<std::string>{"158 Failed to open handle to disk device (2)"}, log.records());
}

TEST(WinDiskDevice, DismountHidesTheVolumesAndMountDriveGivesThemBack) {
  MAKE_OR_SKIP(f);
  WinDiskDevice drive(f.loop->path());
  EXPECT_EQ(MEDIA_FIXED, drive.getMediaType());
  vrk::Array<vrk::String> mountPoints;
  drive.getMountPoints(mountPoints);
  ASSERT_EQ(1u, mountPoints.size());
  EXPECT_EQ(f.mnt1, mountPoints[0].str());
  const std::string before = LoopDevice::mountAt(f.mnt1);

  ASSERT_TRUE(drive.dismountDrive());
  EXPECT_TRUE(drive.dismountDrive()) << "a second dismount answers at once";
  EXPECT_EQ("", LoopDevice::mountAt(f.mnt1));
  EXPECT_TRUE(mountRefused(f.loop->partition(1), f.dir.file("other1")));
  EXPECT_TRUE(mountRefused(f.loop->partition(2), f.dir.file("other2"))) << "unmounted volumes are held too";

  // A sector in the gap before partition 1, through the uncached handle.
  DiskBufferPointer out(512);
  for (u32 i = 0; i < 512; ++i) out.get()[i] = static_cast<u8>(i * 7 + 3);
  ASSERT_TRUE(drive.writeSectors(100, out.get(), 1));

  EXPECT_TRUE(drive.mountDrive());
  EXPECT_EQ(before, LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ("kept across dismount", test::readFile(f.mnt1 + "/note.txt"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.get()), 512),
            test::readFile(f.loop->backingFile()).substr(100 * 512, 512));
}

TEST(WinDiskDevice, BusyVolumeMakesDismountFailWithEverythingAsBefore) {
  MAKE_OR_SKIP(f);
  // Partition 2 is mounted after partition 1 with options of its own, so it is
  // unmounted first and has to come back with those options when partition 1 refuses.
  const std::string mnt2 = f.dir.file("mnt2");
  ASSERT_TRUE(LoopDevice::mount(f.loop->partition(2), mnt2, "nosuid,noexec"));
  test::writeFile(mnt2 + "/two.txt", "second volume");
  ASSERT_TRUE(LoopDevice::mount(f.loop->partition(2), mnt2, "remount,ro,nosuid,noexec"));
  const std::string before1 = LoopDevice::mountAt(f.mnt1), before2 = LoopDevice::mountAt(mnt2);

  WinDiskDevice drive(f.loop->path());
  {
    DeviceLog log;
    const int busy = ::open((f.mnt1 + "/note.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    EXPECT_FALSE(drive.dismountDrive());
    ::close(busy);
    const std::vector<std::string> expected = {
        "96 The volume \"" + f.loop->partition(1) + "\" mounted on \"" + f.mnt1 +
            "\" is in use and cannot be dismounted (Device or resource busy)",
        "95 Unable to dismount a volume, unlocking and remounting all volumes"};
    EXPECT_EQ(expected, log.records()) << "the user learns what to close";
  }
  EXPECT_EQ(before1, LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ(before2, LoopDevice::mountAt(mnt2));
  EXPECT_EQ("kept across dismount", test::readFile(f.mnt1 + "/note.txt"));
  EXPECT_EQ("second volume", test::readFile(mnt2 + "/two.txt"));
  vrk::Array<vrk::String> mountPoints;
  drive.getMountPoints(mountPoints);
  EXPECT_EQ(2u, mountPoints.size()) << "no mount point listed twice after the undo";

  // Once the file is closed the same drive object dismounts, and mounts back both.
  ASSERT_TRUE(drive.dismountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(mnt2));
  EXPECT_TRUE(drive.mountDrive());
  EXPECT_EQ(before1, LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ(before2, LoopDevice::mountAt(mnt2));
}

// A bind of a subdirectory goes with its volume and comes back from the volume's own
// mount, with its options.
TEST(WinDiskDevice, BindOfASubdirectoryGoesAndComesBackWithItsVolume) {
  MAKE_OR_SKIP(f);
  const std::string sub = f.mnt1 + "/sub", bound = f.dir.file("bound");
  std::filesystem::create_directory(sub);
  test::writeFile(sub + "/deep.txt", "seen through the bind");
  ASSERT_TRUE(LoopDevice::mount(sub, bound, "bind"));
  ASSERT_TRUE(LoopDevice::mount(sub, bound, "remount,bind,ro,nodev"));
  const std::string before1 = LoopDevice::mountAt(f.mnt1), beforeBound = LoopDevice::mountAt(bound);
  ASSERT_NE(std::string::npos, beforeBound.find("[/sub]")) << beforeBound;

  WinDiskDevice drive(f.loop->path());
  vrk::Array<vrk::String> mountPoints;
  drive.getMountPoints(mountPoints);
  EXPECT_EQ(2u, mountPoints.size());
  ASSERT_TRUE(drive.dismountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(bound));
  EXPECT_EQ("", LoopDevice::mountAt(f.mnt1));
  EXPECT_TRUE(drive.mountDrive());
  EXPECT_EQ(before1, LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ(beforeBound, LoopDevice::mountAt(bound));
  EXPECT_EQ("seen through the bind", test::readFile(bound + "/deep.txt"));
}

// mount(8)'s own options (kept in utab) and the propagation of a mount come back with it.
TEST(WinDiskDevice, MountDriveKeepsUserOptionsAndPropagation) {
  struct Case {
    const char* options;      // for mount -o, besides the defaults
    const char* propagation;  // made with mount --make-...; empty for none
  };
  const Case cases[] = {{"x-vantor.kept", ""}, {"", "shared"}, {"", "unbindable"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.propagation);
    MAKE_OR_SKIP(f);
    const std::string mnt2 = f.dir.file("mnt2");
    ASSERT_TRUE(LoopDevice::mount(f.loop->partition(2), mnt2, c.options));
    if (*c.propagation) {
      ASSERT_EQ(0, test::run(std::string("mount --make-") + c.propagation + " '" + mnt2 + "'"));
    }
    // As mount(8) sees it: the kernel's table with utab's options.
    const auto state = [&] {
      return test::capture("findmnt -m -n -o SOURCE,FSTYPE,OPTIONS,PROPAGATION --mountpoint '" + mnt2 + "'");
    };
    const std::string before = state();
    EXPECT_NE(std::string::npos, before.find(c.options)) << before;

    WinDiskDevice drive(f.loop->path());
    ASSERT_TRUE(drive.dismountDrive());
    EXPECT_EQ("", state());
    EXPECT_TRUE(drive.mountDrive());
    EXPECT_EQ(before, state());
  }
}

// A loop device attached without partition scanning keeps partitions told to it after
// it is detached, and hands them to the next file attached under its number: mounting
// back never adds any to such a device.
TEST(WinDiskDevice, MountDriveAddsNoPartitionsToADeviceThatDoesNotScanThem) {
  TempDir dir;
  std::string why;
  auto scanned = LoopDevice::create(dir.path(), {16ull << 20, 512, "label: dos\n2048,8192,83\n"}, why);
  if (!scanned) GTEST_SKIP() << why;
  scanned.reset();
  auto loop = LoopDevice::attach(dir.file("disk.img"), 512, why, false, false);
  ASSERT_TRUE(loop) << why;
  auto drive = DiskFactory::getDiskDevice(loop->path());
  DiskBufferPointer mbr(512);
  ASSERT_TRUE(drive->readSectors(0, mbr.get(), 1));
  ASSERT_TRUE(drive->dismountDrive());
  ASSERT_TRUE(drive->writeSectors(0, mbr.get(), 1));
  ASSERT_TRUE(drive->mountDrive());
  EXPECT_TRUE(kernelPartitions(loop->name()).empty());
}

TEST(WinDiskDevice, LockHoldsUnmountedVolumesAndUnlockNeedsALock) {
  MAKE_OR_SKIP(f);
  WinDiskDevice drive(f.loop->path());
  {
    DeviceLog log;
    EXPECT_FALSE(drive.unlockDrive()) << "nothing was locked";
    EXPECT_EQ(std::vector<std::string>{"82 Unable to lock a volume"}, log.records());
  }
  ASSERT_TRUE(drive.lockDrive());
  EXPECT_NE("", LoopDevice::mountAt(f.mnt1)) << "locking unmounts nothing";
  EXPECT_TRUE(mountRefused(f.loop->partition(2), f.dir.file("other2")));
  EXPECT_TRUE(drive.unlockDrive());
  EXPECT_FALSE(mountRefused(f.loop->partition(2), f.dir.file("other2")));

  // A volume somebody else holds refuses the lock, and the lock then takes nothing.
  const int held = ::open(f.loop->partition(2).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(held, 0);
  EXPECT_FALSE(drive.lockDrive());
  EXPECT_FALSE(drive.dismountDrive());
  ::close(held);
  EXPECT_NE("", LoopDevice::mountAt(f.mnt1)) << "a refused lock stops the dismount before it unmounts";
}

TEST(WinDiskDevice, WholeDiskFileSystemIsAVolumeOfItsOwn) {
  TempDir dir;
  std::string why;
  auto loop = LoopDevice::create(dir.path(), {32ull << 20, 512, ""}, why);
  if (!loop) GTEST_SKIP() << why;
  const std::string mnt = dir.file("whole");
  ASSERT_TRUE(LoopDevice::makeExt2(loop->path()));
  ASSERT_TRUE(LoopDevice::mount(loop->path(), mnt));
  const std::string before = LoopDevice::mountAt(mnt);
  auto drive = DiskFactory::getDiskDevice(loop->path());
  vrk::Array<vrk::String> mountPoints;
  drive->getMountPoints(mountPoints);
  ASSERT_EQ(1u, mountPoints.size());
  EXPECT_EQ(mnt, mountPoints[0].str());
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(mnt));
  EXPECT_TRUE(mountRefused(loop->path(), dir.file("other")));
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ(before, LoopDevice::mountAt(mnt));

  // A write inside the file system while it is away: the old file system must not be
  // mounted back over what is there now.
  DeviceLog log;
  ASSERT_TRUE(drive->dismountDrive());
  DiskBufferPointer zeros(4096);
  ASSERT_TRUE(drive->writeSectors(2048, zeros.get(), 8));
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(mnt));
  ASSERT_EQ(1u, log.records().size());
  EXPECT_EQ(log.records()[0], "243 Not mounting \"" + loop->path() + "\" on \"" + mnt +
                                  "\" again: sectors of the volume were written while it was dismounted");
}

// Drives that refuse writes: a device marked read-only, a medium that refuses a
// read-write open (a write-protected card), an empty card-reader slot. Each opens, reads
// where there is something to read, and every writing service refuses it naming the
// drive before it dismounts anything.
TEST(WinDiskDevice, DrivesThatRefuseWritesOpenAndAreRefusedBeforeAnyDismount) {
  TempDir dir;
  std::string why;
  auto writable = LoopDevice::create(dir.path(), {8ull << 20, 512, ""}, why);
  if (!writable) GTEST_SKIP() << why;
  ASSERT_TRUE(LoopDevice::makeExt2(writable->path()));
  auto readOnly = LoopDevice::attach(writable->backingFile(), 512, why, true);
  ASSERT_TRUE(readOnly) << why;
  const std::string mnt = dir.file("mnt");
  ASSERT_TRUE(LoopDevice::mount(readOnly->path(), mnt, "ro"));
  struct Case {
    std::string path;
    int refusal;
    u64 sizeBytes;
  };
  for (const Case& c : {Case{readOnly->path(), 0, 8ull << 20}, Case{writable->path(), EROFS, 8ull << 20},
                        Case{writable->path(), ENOMEDIUM, 0}}) {
    SCOPED_TRACE(c.path + " " + std::to_string(c.refusal));
    refusedPath = c.refusal ? c.path : "";
    refusal = c.refusal;
    auto disk = DiskFactory::getDiskDevice(c.path);
    refusedPath.clear();
    EXPECT_TRUE(dynamic_cast<WinDisk&>(*disk).isWriteProtected());
    EXPECT_EQ(disk->getSizeBytes(), c.sizeBytes);
    DiskBufferPointer sector(512);
    EXPECT_TRUE(c.sizeBytes == 0 || disk->readSectors(2, sector.get(), 1));
    const std::string refused =
        "The drive \"" + c.path + "\" is write-protected (read-only): nothing was written to it.";
    EXPECT_TRUE(test::throwsVantor([&] { PartitionTools::writePartitionsToMBR(*disk, {}); }, ERR_DISK_ACCESS, refused));
    if (c.sizeBytes == 0) continue;  // nothing to zero
    DiskDevice device(c.path, disk);
    DiskImager imager(device);
    ASSERT_TRUE(imager.startZeroingDisk(true, boost::none));
    VantorErrorCodes code = ERR_NONE;
    vrk::String message;
    ASSERT_TRUE(imager.errorEncountered(code, message));
    EXPECT_EQ(code, ERR_DISK_ACCESS);
    EXPECT_EQ(message.str(), refused);
    EXPECT_NE("", LoopDevice::mountAt(mnt)) << "refused before the dismount";
  }
}

// Writes the four primary entries of sector 0 (type 0x83) through the drive, between
// dismountDrive and mountDrive; an empty list also removes the signature.
void writeTable(IDisk& drive, const std::vector<std::pair<u32, u32>>& partitions) {
  DiskBufferPointer sector(drive.getSectorSize());
  ASSERT_TRUE(drive.readSectors(0, sector.get(), 1));
  std::memset(sector.get() + 446, 0, 66);
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    u8* e = sector.get() + 446 + 16 * i;
    e[4] = 0x83;
    writeLE32(e + 8, partitions[i].first);
    writeLE32(e + 12, partitions[i].second);
  }
  writeLE16(sector.get() + 510, partitions.empty() ? 0 : 0xAA55);
  ASSERT_TRUE(drive.dismountDrive());
  ASSERT_TRUE(drive.writeSectors(0, sector.get(), 1));
  ASSERT_TRUE(drive.mountDrive());
}

TEST(WinDiskDevice, MountDriveMakesTheKernelSeeTheNewTable) {
  MAKE_OR_SKIP(f);
  const std::string before = LoopDevice::mountAt(f.mnt1);
  using Table = std::vector<std::pair<u32, u32>>;
  struct Case {
    const char* what;
    Table table;
  };
  const Case cases[] = {
      {"a third partition, the second moved", {{2048, 32768}, {40960, 8192}, {49152, 16384}}},
      {"partition 1 alone", {{2048, 32768}}},
  };
  WinDiskDevice drive(f.loop->path());
  for (const Case& c : cases) {
    writeTable(drive, c.table);
    std::map<int, std::pair<u64, u64>> expected;
    for (std::size_t i = 0; i < c.table.size(); ++i) expected[int(i) + 1] = c.table[i];
    EXPECT_EQ(expected, kernelPartitions(f.loop->name())) << c.what;
    EXPECT_EQ(before, LoopDevice::mountAt(f.mnt1)) << c.what << ": partition 1 kept its place and is mounted back";
  }
  EXPECT_EQ("kept across dismount", test::readFile(f.mnt1 + "/note.txt"));

  // Without a signature there is no table, and the unmounted volume cannot come back.
  writeTable(drive, {});
  EXPECT_TRUE(kernelPartitions(f.loop->name()).empty());
  EXPECT_EQ("", LoopDevice::mountAt(f.mnt1));
}

TEST(WinDiskDevice, MountDriveMountsNothingWhereTheNodeNowNamesOtherSectors) {
  using Table = std::vector<std::pair<u32, u32>>;
  struct Case {
    const char* what;
    Table table;
    bool nodeMounts;  // whether what partition 1's node opens now would mount
  };
  const Case cases[] = {
      {"the two partitions swap places", {{34816, 32768}, {2048, 32768}}, true},
      {"partition 1 shrinks in place", {{2048, 16384}, {34816, 32768}}, false},
  };
  for (const Case& c : cases) {
    MAKE_OR_SKIP(f);
    WinDiskDevice drive(f.loop->path());
    DeviceLog log;
    writeTable(drive, c.table);
    EXPECT_EQ("", LoopDevice::mountAt(f.mnt1)) << c.what;
    EXPECT_EQ(std::vector<std::string>{"241 Not mounting \"" + f.loop->partition(1) + "\" on \"" + f.mnt1 +
                                       "\" again: the volume is no longer where it was"},
              log.records())
        << c.what;
    EXPECT_EQ(c.nodeMounts, !mountRefused(f.loop->partition(1), f.dir.file("other1"))) << c.what;
  }
}

TEST(WinDiskDevice, DismountTakesInAPartitionAddedAfterTheDriveWasOpened) {
  MAKE_OR_SKIP(f);
  const std::string loop = f.loop->path(), mnt2 = f.dir.file("mnt2");
  ASSERT_EQ(0, test::run("partx -d --nr 2 " + loop + " >/dev/null 2>&1"));
  WinDiskDevice drive(loop);
  vrk::Array<vrk::String> mountPoints;
  drive.getMountPoints(mountPoints);
  ASSERT_EQ(1u, mountPoints.size());

  ASSERT_EQ(0, test::run("partx -a --nr 2 " + loop + " >/dev/null 2>&1"));
  ASSERT_TRUE(LoopDevice::mount(f.loop->partition(2), mnt2));
  const std::string before2 = LoopDevice::mountAt(mnt2);
  drive.getMountPoints(mountPoints);
  EXPECT_EQ(2u, mountPoints.size()) << "the mount points follow the partitions";

  ASSERT_TRUE(drive.dismountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ("", LoopDevice::mountAt(mnt2));
  EXPECT_TRUE(mountRefused(f.loop->partition(2), f.dir.file("other2")));
  EXPECT_TRUE(drive.mountDrive());
  EXPECT_EQ(before2, LoopDevice::mountAt(mnt2));
}

TEST(WinDiskDevice, OnlyTheObjectThatDismountedMountsBack) {
  MAKE_OR_SKIP(f);
  const std::string before = LoopDevice::mountAt(f.mnt1);
  {
    WinDiskDevice drive(f.loop->path());
    ASSERT_TRUE(drive.dismountDrive());
    {
      std::unique_ptr<WinDiskDevice> copy(drive.clone());
      WinDiskDevice assigned(f.loop->path());
      assigned = drive;
    }  // a worker's copies go while the original still writes
    EXPECT_EQ("", LoopDevice::mountAt(f.mnt1));
    EXPECT_TRUE(mountRefused(f.loop->partition(2), f.dir.file("other2"))) << "the holds are still there";

    // Assigning over the dismounting object gives its volumes back first.
    const WinDiskDevice other(f.loop->path());
    drive = other;
    EXPECT_EQ(before, LoopDevice::mountAt(f.mnt1));
    EXPECT_FALSE(mountRefused(f.loop->partition(2), f.dir.file("other2")));
    ASSERT_TRUE(drive.dismountDrive());
  }  // the dismounting object goes while dismounted
  EXPECT_EQ(before, LoopDevice::mountAt(f.mnt1));
  EXPECT_EQ("kept across dismount", test::readFile(f.mnt1 + "/note.txt"));
}

}  // namespace
}  // namespace vantor

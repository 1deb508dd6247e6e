// The Linux drive layer on real loop devices. Listing drives; the disk over a handle
// (geometry, a lost medium, one transfer above 2 GiB); whole drives: dismount (the volumes
// are gone and cannot be mounted by anybody else), sector I/O through the uncached
// handle, mount (the volumes come back as they were, the kernel sees a newly written
// table), the undo when a volume is busy, and drives that refuse writes. The kernel,
// mount(8) and findmnt are the oracle. Also runs of single-sector reads answered from a
// block read ahead, and drives that fail where a test says: each imaging operation ends
// with its own error (never a hang) and, once its objects are gone, leaves the device and
// its partition node free to be opened exclusively; and an image file that the system
// stops growing. The drive layer's open(2), ioctl(2), write(2) and read(2) go through a
// stand-in of the system (PosixApi), so that a test can make a drive refuse a read-write
// open or report no medium, make a handle answer a geometry, make it lose its medium
// during a write, or count a drive's reads and fail its transfers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/DriveListing.h>
#include <libVantor/MountTable.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/PosixApi.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/WriteSafety.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/internal/SysHost.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace {
std::string refusedPath;  // opens of this path answer `refusal`, as a card reader would
int refusal = 0;
int geometryFd = -1;      // the descriptor that answers a geometry
int geometryQueries = 0;  // HDIO_GETGEO requests seen for it
int mediumGoneFd = -1;    // the descriptor whose writes fail with ENOMEDIUM
// The error of every transfer on an O_DIRECT descriptor (0: none); negated, the error
// comes once a first block of the transfer has moved.
int uncachedFailure = 0;
int uncachedTransfers = 0;  // transfers tried on O_DIRECT descriptors
// The block device whose reads are counted and whose transfers that cover `faultByte` meet
// `fault`: "read" and "write" fail with EIO, and after a "vanish" write every transfer
// fails. Changed only while no imaging thread runs.
dev_t watchedDevice = 0;  // 0: none
std::string fault;
off_t faultByte = -1;
std::atomic<int> readsSeen{0};
std::atomic<bool> vanished{false};

ssize_t failWith(int error) {
  errno = error;
  return -1;
}

// For a transfer of `count` bytes on `fd` from where it stands: 0 off the watched device,
// 1 on it, 2 on it and covering `faultByte`.
int onWatched(int fd, size_t count) {
  struct stat st;
  if (watchedDevice == 0 || fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != watchedDevice) return 0;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  return faultByte >= at && faultByte < at + static_cast<off_t>(count) ? 2 : 1;
}


// The drive layer's system calls, with the faults above (PosixApi); in force for every
// test of this program.
class FaultyDrives final : public vantor::os::PosixApi {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    if (path == refusedPath && ((refusal == EROFS && (flags & O_ACCMODE) != O_RDONLY) ||
                                (refusal == ENOMEDIUM && !(flags & O_NONBLOCK)))) {
      return failWith(refusal);
    }
    return PosixApi::open(path, flags, mode);
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    if (fd != geometryFd) return PosixApi::ioctl(fd, request, argument);
    if (request == HDIO_GETGEO) {
      ++geometryQueries;
      *static_cast<hd_geometry*>(argument) = {16, 63, 0, 0};
    } else if (request == BLKSSZGET) {
      *static_cast<int*>(argument) = 512;
    } else if (request == BLKGETSIZE64) {
      *static_cast<unsigned long long*>(argument) = 100ull * 16 * 63 * 512;
    }
    return 0;
  }
  ssize_t write(int fd, const void* buffer, size_t count) override {
    if (fd == mediumGoneFd) return failWith(ENOMEDIUM);
    const int on = onWatched(fd, count);
    if (on == 2 && fault == "vanish") vanished = true;
    if ((on == 2 && fault == "write") || (on && vanished)) return failWith(EIO);
    return PosixApi::write(fd, buffer, count);
  }
  ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) override {
    if (uncached(fd) && uncachedFailure) {
      if (uncachedFailure < 0 && count > 4096) return PosixApi::pwrite(fd, buffer, 4096, offset);
      return failWith(std::abs(uncachedFailure));
    }
    return PosixApi::pwrite(fd, buffer, count, offset);
  }
  ssize_t pread(int fd, void* buffer, size_t count, off_t offset) override {
    if (uncached(fd) && uncachedFailure) return failWith(std::abs(uncachedFailure));
    return PosixApi::pread(fd, buffer, count, offset);
  }
  static bool uncached(int fd) { return (::fcntl(fd, F_GETFL) & O_DIRECT) != 0 && ++uncachedTransfers; }
  ssize_t read(int fd, void* buffer, size_t count) override {
    const int on = onWatched(fd, count);
    readsSeen += on != 0;
    if ((on == 2 && fault == "read") || (on && vanished)) return failWith(EIO);
    return PosixApi::read(fd, buffer, count);
  }
};
FaultyDrives faultyDrives;
const vantor::os::PosixApiOverride inForce(faultyDrives);
}  // namespace

namespace vantor {
namespace {

using test::LoopDevice;
using test::TempDir;

// A drive's geometry is asked once and travels with copies; a write that finds the medium
// gone throws; one request between the system's largest single transfer (0x7FFFF000
// bytes) and 4 GiB is done whole (a write to the null device never touches its pages).
TEST(DiskHandle, GeometryLostMediumAndTransfersAbove2GiB) {
  TempDir dir;
  test::writeFile(dir.file("disk"), std::string(512, 'g'));
  WinDisk disk(vrk::FileHandle(::open(dir.file("disk").c_str(), O_RDWR | O_CLOEXEC)), 512, 512);
  DiskGeometry g;
  EXPECT_FALSE(disk.getDiskGeometry(g)) << "a plain file has no geometry";
  geometryFd = disk.getHandle().get();
  ASSERT_TRUE(disk.getDiskGeometry(g) && disk.getDiskGeometry(g));
  EXPECT_EQ(geometryQueries, 1);
  EXPECT_EQ(g.cylinders, 100u);
  EXPECT_EQ(g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector, 16u * 63 * 512);
  WinDisk copy(disk);
  geometryFd = -1;
  EXPECT_EQ(copy.getCHSAddressFromLBA(1008, true).value().cylinder, 1u);
  EXPECT_EQ(geometryQueries, 1);

  u8 sector[512] = {};
  mediumGoneFd = disk.getHandle().get();
  EXPECT_TRUE(test::throwsVantor([&] { (void)disk.writeSectors(0, sector, 1); }, ERR_MEDIA_CHANGED,
                                 "Drive reports that the media may have changed. Reinsert device."));
  mediumGoneFd = -1;

  const u32 sectors = (3u << 30) / 512;
  DiskBufferPointer buffer(u64(sectors) * 512);
  WinDisk sink(vrk::FileHandle(::open("/dev/null", O_WRONLY | O_CLOEXEC)), 512, u64(sectors) * 512);
  EXPECT_TRUE(sink.writeSectors(0, buffer.get(), sectors));
}

// A disk file's transfers of whole aligned 4 KiB blocks go past the cache, the rest
// through it, and a read sees the last write whichever way each went. A file system that
// turns them down (EINVAL) has that transfer and every later one made through the cache;
// a failure of the medium, or EINVAL once part of the write moved, fails the write, and
// the next aligned one is tried uncached.
TEST(DiskFile, AlignedTransfersGoUncachedUnlessTheFileSystemTurnsThemDown) {
  TempDir dir;
  const int probe = ::open(dir.file("probe").c_str(), O_CREAT | O_RDWR | O_DIRECT | O_CLOEXEC, 0644);
  if (probe < 0) GTEST_SKIP() << "the temporary folder's file system has no uncached writes";
  ::close(probe);
  DiskBufferPointer block(8192);
  DiskBufferPointer back(8192);
  for (const int failure : {0, EINVAL, EIO, -EINVAL}) {
    SCOPED_TRACE(failure);
    WinDiskFile disk(dir.file("disk" + std::to_string(failure)), WinDiskFile::OpenAlways, 512, 65536);
    ASSERT_TRUE(disk.isOpen());
    uncachedFailure = failure;
    uncachedTransfers = 0;
    std::memset(block.get(), 'a', 8192);
    const bool fails = failure == EIO || failure < 0;
    EXPECT_EQ(disk.writeSectors(8, block.get(), 16), !fails);
    std::memset(block.get(), 'b', 512);
    EXPECT_TRUE(disk.writeSectors(9, block.get(), 1)) << "one sector goes through the cache";
    std::memset(block.get(), 'c', 8192);
    EXPECT_EQ(disk.writeSectors(8, block.get(), 16), !fails);
    if (fails) uncachedFailure = 0;
    ASSERT_TRUE(disk.readSectors(8, back.get(), 16));
    EXPECT_EQ(uncachedTransfers, failure == EINVAL ? 1 : failure < 0 ? 5 : 3);
    uncachedFailure = 0;
    if (!fails) {
      EXPECT_EQ(0, std::memcmp(back.get(), block.get(), 8192)) << "the last write wins";
    }
  }
}

dev_t deviceNumber(const std::string& node) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(node.c_str(), &st)) << node;
  return st.st_rdev;
}

// From now on, transfers of the watched device that cover sector `sector` meet `what`.
void arm(const std::string& what, u32 sector) {
  fault = what;
  faultByte = off_t(sector) * 512;
  vanished = false;
}

// While it lives, `node` is the watched device; then none is, and no fault is armed.
struct Watch {
  explicit Watch(const std::string& node) { watchedDevice = deviceNumber(node); }
  ~Watch() {
    watchedDevice = 0;
    arm("", 0);
  }
};

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

// Writes a table of type 0x83 entries through the drive, as a host writes one.
void writeTable(IDisk& drive, const std::vector<std::pair<u32, u32>>& partitions) {
  std::vector<PARTITION_TABLE_ENTRY> entries(partitions.size());
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    PartitionTools::buildPartitionEntry(drive, entries[i], false, 0x83, partitions[i].first, partitions[i].second);
  }
  PartitionTools::writePartitionsToMBR(drive, entries);
}

// A drive whose sector s holds the number s answers a run of single-sector reads from a
// 64 KiB block read ahead: its own bytes in few reads, up to the last sector; a sector
// written inside the block is read back from the drive; a block that cannot be read
// leaves each sector its own read, so that the first unreadable one fails alone (the gap
// scan after the MBR stops there). The loop device does not scan partitions: one that is
// told of some keeps them after it is detached and hands them to the next file attached
// under its number, so writing a table never adds any to it.
// Runs of single sectors and runs of chunks come from growing blocks read ahead; a write,
// by the drive object or a copy, drops the block; a block that fails leaves each request
// to its own read, so only the request that holds the bad sector fails.
TEST(WinDiskDevice, RunsOfReadsComeFromBlocksReadAhead) {
  TempDir dir;
  const u32 sectors = 4096;
  std::string image(std::size_t(sectors) * 512, '\0');
  for (u32 s = 1; s < sectors; ++s) std::memcpy(&image[std::size_t(s) * 512], &s, sizeof s);
  image[510] = 0x55;  // an MBR without partitions
  image[511] = static_cast<char>(0xAA);
  test::writeFile(dir.file("disk.img"), image);
  std::string why;
  auto loop = LoopDevice::attach(dir.file("disk.img"), 512, why, false, false);
  if (!loop) GTEST_SKIP() << why;
  WinDiskDevice drive(loop->path());
  DiskBufferPointer buffer(512), chunk(256 * 512), marked(512);
  const auto numberIn = [&](u32 sector) {
    u32 n = ~0u;
    EXPECT_TRUE(drive.readSectors(sector, buffer.get(), 1)) << sector;
    std::memcpy(&n, buffer.get(), sizeof n);
    return n;
  };
  const auto chunkRight = [&](u32 first) {
    bool right = drive.readSectors(first, chunk.get(), 256);
    for (u32 s = first; right && s < first + 256; ++s) {
      right = std::memcmp(chunk.get() + std::size_t(s - first) * 512, &s, sizeof s) == 0;
    }
    return right;
  };
  auto watch = std::make_unique<Watch>(loop->path());
  u32 wrong = 0;
  for (u32 s = 1; s < sectors; ++s) wrong += numberIn(s) != s;
  EXPECT_EQ(wrong, 0u);
  // 4095 sectors, not one read each: the first alone, then blocks of 128 sectors and
  // growing that stop at the 1 MiB boundary (sector 2048), and grow again from there.
  EXPECT_EQ(readsSeen, 11);
  // Chunks: the first alone, then blocks of 512, 1024 and 2048 sectors; the last chunk
  // alone at the drive's end.
  readsSeen = 0;
  for (u32 first = 0; first < sectors; first += 256) EXPECT_TRUE(chunkRight(first)) << first;
  EXPECT_EQ(readsSeen, 5);
  EXPECT_EQ(numberIn(10), 10u);
  EXPECT_EQ(numberIn(11), 11u);  // the block now holds 11 to 138
  const u32 written = 0xC0FFEE;
  std::memcpy(marked.get(), &written, sizeof written);
  EXPECT_TRUE(drive.writeSectors(12, marked.get(), 1));
  EXPECT_EQ(numberIn(12), written);
  EXPECT_EQ(numberIn(13), 13u);  // and a block from 13 on
  WinDiskDevice copy(drive);
  EXPECT_TRUE(copy.writeSectors(14, marked.get(), 1));
  EXPECT_EQ(numberIn(14), written);
  // The same after the drive was mounted back, which renews its volume bookkeeping.
  EXPECT_TRUE(copy.readSectors(20, buffer.get(), 1) && copy.readSectors(21, buffer.get(), 1));  // a block from 21 on
  EXPECT_TRUE(drive.dismountDrive() && drive.mountDrive());
  EXPECT_TRUE(drive.writeSectors(22, marked.get(), 1));
  EXPECT_TRUE(copy.readSectors(22, chunk.get(), 1));
  EXPECT_EQ(0, std::memcmp(chunk.get(), &written, sizeof written));
  arm("read", 5);  // fails every read that covers sector 5, the blocks too
  for (u32 s = 1; s < 5; ++s) EXPECT_EQ(numberIn(s), s);
  EXPECT_FALSE(drive.readSectors(5, buffer.get(), 1));
  arm("read", 1300);  // in the block read ahead for the chunk at 1024
  EXPECT_TRUE(chunkRight(256) && chunkRight(512) && chunkRight(768) && chunkRight(1024));
  EXPECT_FALSE(chunkRight(1280));
  watch.reset();
  writeTable(drive, {{2048, 2048}});
  EXPECT_TRUE(kernelPartitions(loop->name()).empty());
}

// Lists the drives into `devices`: the locator whose open ended the listing, or "".
std::string listInto(vrk::Array<DiskDevice>& devices, u32 flags, u16 sectorSize) {
  const std::string got = test::outcome([&] { DiskDevice::enumDevices(devices, flags, sectorSize); });
  const std::string prefix = "error " + std::to_string(ERR_DISK_ACCESS) + " Failed to open handle to device \"";
  EXPECT_TRUE(got == "finished" || got.rfind(prefix, 0) == 0) << got;
  return got == "finished" ? "" : got.substr(prefix.size(), got.size() - prefix.size() - 1);
}

// How often `loop` is listed; -1 where a drive that failed to open ended the listing first.
int timesListed(const vrk::Array<DiskDevice>& devices, const std::string& failedOn, const LoopDevice& loop) {
  libSysHost::WindowsDeviceSet order;
  order.appendDisks();
  for (u32 i = 0; i < order.size() && !failedOn.empty() && order[i].getOsLocator().str() != loop.path(); ++i) {
    if (order[i].getOsLocator().str() == failedOn) return -1;
  }
  int n = 0;
  for (const DiskDevice& d : devices) n += d.description().str().find(loop.backingFile()) != std::string::npos;
  return n;
}

// Listing drives, seen through loop devices of our own: an MBR with a FAT volume and an
// ext2 volume (mounted), a drive of 4096-byte sectors, and a bare file attached read-only.
// The kind, media and sector-size filters decide which are listed (the machine's own disks
// are opened and read, never written). The listing a host shows: each a virtual disk that
// opens, with its size, sector size, volumes in partition order, their labels and mount
// points; only the read-only one is flagged.
TEST(DriveListing, FiltersDecideWhatIsListedAndEachDriveShowsItsVolumesMountsAndMedium) {
  TempDir dir, dir4096;
  std::string why;
  auto loop = LoopDevice::create(dir.path(), {64ull << 20, 512, "label: dos\n2048,32768,c\n34816,32768,83\n"}, why);
  auto large = loop ? LoopDevice::create(dir4096.path(), {32ull << 20, 4096, ""}, why) : nullptr;
  if (!large) GTEST_SKIP() << why;
  ASSERT_TRUE(LoopDevice::makeFs("fat", loop->partition(1), "PHOTOS") &&
              LoopDevice::makeFs("ext2", loop->partition(2), "DATA"));
  ASSERT_TRUE(LoopDevice::mount(loop->partition(2), dir.file("mnt")));
  test::writeFile(dir.file("bare.img"), std::string(1 << 20, '\0'));
  auto readOnly = LoopDevice::attach(dir.file("bare.img"), 512, why, true, false);
  ASSERT_TRUE(readOnly) << why;

  // {flags, sector size, how often each loop device is listed}. 0x0E: internal disks, USB
  // keys and cards; 0x20 drops removable and 0x40 fixed media (a loop device is fixed).
  const std::tuple<u32, u16, int, int> cases[] = {{0x00, 0, 0, 0},    {0x10, 0, 1, 1}, {0x10, 512, 1, 0},
                                                  {0x10, 4096, 0, 1}, {0x0E, 0, 0, 0}, {0x30, 0, 1, 1},
                                                  {0x50, 0, 0, 0}};
  vrk::Array<DiskDevice> devices;  // a listing replaces what was there
  devices.append(DiskDevice(loop->backingFile(), std::make_shared<test::FakeDisk>(512, 8)));
  for (const auto& [flags, sectorSize, smallListed, largeListed] : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << flags << ", sector size " << sectorSize);
    const std::string failedOn = listInto(devices, flags, sectorSize);
    EXPECT_TRUE(timesListed(devices, failedOn, *loop) == smallListed || timesListed(devices, failedOn, *loop) < 0);
    EXPECT_TRUE(timesListed(devices, failedOn, *large) == largeListed || timesListed(devices, failedOn, *large) < 0);
    for (const DiskDevice& d : devices) {
      if (d.description().str().find(loop->backingFile()) == std::string::npos) continue;
      EXPECT_NE(std::string::npos, d.description().str().find("(64.0 MiB), vfat 'PHOTOS', ext2 'DATA'")) << d.description();
      EXPECT_EQ(d.mountPoints().size() == 1 ? d.mountPoints()[0].str() : "", dir.file("mnt"));
    }
  }

  const std::string virtualFixed = std::to_string(DRIVE_VIRTUAL) + "/" + std::to_string(MEDIA_FIXED) + " ";
  const std::string mnt = dir.file("mnt");
  LISTED_DRIVE drive, locked, bare;
  ASSERT_TRUE(DriveListing::find(loop->path(), drive));
  ASSERT_TRUE(DriveListing::find(readOnly->path(), locked));
  EXPECT_EQ(test::describe(drive), virtualFixed + std::to_string(64 << 20) + "/512 rw " + mnt + " | " +
                                       loop->partition(1) + " vfat 'PHOTOS' [] uuid @1048576+16777216; " +
                                       loop->partition(2) + " ext2 'DATA' [] uuid @17825792+16777216 " + mnt + ";");
  EXPECT_EQ(test::describe(locked), virtualFixed + std::to_string(1 << 20) + "/512 ro |");
  EXPECT_EQ(drive.product, loop->backingFile());
  // The drive alone: its product and size, no volume probed.
  ASSERT_TRUE(DriveListing::find(loop->path(), bare, DriveListing::WITHOUT_VOLUMES));
  EXPECT_EQ(test::describe(bare), virtualFixed + std::to_string(64 << 20) + "/512 rw |");
  EXPECT_EQ(bare.product, drive.product);
}

bool mountRefused(const std::string& node, const std::string& directory) {
  const bool mounted = LoopDevice::mount(node, directory);
  if (mounted) (void)test::run("umount '" + directory + "'");
  return !mounted;
}

// A partitioned loop device (16 MiB partitions) with ext2 on both partitions, partition 1
// mounted and holding a file. The drive is opened before partition 2 is known to the
// kernel: the volumes follow the partitions. A busy volume makes the dismount fail with
// every mount as it was (partition 2 and the bind of a subdirectory of the busy volume,
// unmounted first, come back with their options and propagation). Once it is free the
// volumes and the bind go, cannot be mounted by anybody else, and come back as they were.
// Only the object that dismounted mounts back: not its copies, and it does so when it goes
// or is assigned over. Then the kernel sees each new table; a volume is mounted back only
// while its partition starts and ends where it did.
TEST(WinDiskDevice, DismountUndoneWhileBusyMountedBackByItsObjectAndAfterEachNewTable) {
  TempDir dir;
  std::string why = "mkfs.ext2 or mount failed";
  auto loop = LoopDevice::create(dir.path(), {64ull << 20, 512, "label: dos\n2048,32768,83\n34816,32768,83\n"}, why);
  const std::string mnt1 = dir.file("mnt1"), mnt2 = dir.file("mnt2"), sub = mnt1 + "/sub", bound = dir.file("bound");
  if (!loop || !LoopDevice::makeFs("ext2", loop->partition(1)) || !LoopDevice::makeFs("ext2", loop->partition(2)) ||
      !LoopDevice::mount(loop->partition(1), mnt1)) {
    GTEST_SKIP() << why;
  }
  test::writeFile(mnt1 + "/note.txt", "kept across dismount");
  ASSERT_EQ(0, test::run("partx -d --nr 2 " + loop->path()));
  WinDiskDevice drive(loop->path());
  ASSERT_EQ(0, test::run("partx -a --nr 2 " + loop->path()));
  ASSERT_TRUE(LoopDevice::mount(loop->partition(2), mnt2, "nosuid,noexec,x-vantor.kept"));
  ASSERT_EQ(0, test::run("mount --make-shared '" + mnt2 + "'"));
  const auto states = [&] {
    return LoopDevice::mountAt(mnt1) + LoopDevice::mountAt(mnt2) + LoopDevice::mountAt(bound);
  };
  std::filesystem::create_directory(sub);
  test::writeFile(sub + "/deep.txt", "seen through the bind");
  ASSERT_TRUE(LoopDevice::mount(sub, bound, "bind") && LoopDevice::mount(sub, bound, "remount,bind,ro,nodev"));
  const std::string before = states();
  EXPECT_NE(std::string::npos, before.find("x-vantor.kept")) << before;
  const int busy = ::open((mnt1 + "/note.txt").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(drive.dismountDrive());
  ::close(busy);
  EXPECT_EQ(before, states());
  vrk::Array<vrk::String> mountPoints;
  drive.getMountPoints(mountPoints);
  EXPECT_EQ(3u, mountPoints.size()) << "no mount point listed twice after the undo";

  ASSERT_TRUE(drive.dismountDrive());
  EXPECT_TRUE(drive.dismountDrive()) << "a second dismount answers at once";
  EXPECT_EQ("", states());
  EXPECT_TRUE(mountRefused(loop->partition(1), dir.file("other1")));
  EXPECT_TRUE(mountRefused(loop->partition(2), dir.file("other2")));
  // A sector in the gap before partition 1, through the uncached handle.
  DiskBufferPointer out(512);
  for (u32 i = 0; i < 512; ++i) out.get()[i] = static_cast<u8>(i * 7 + 3);
  ASSERT_TRUE(drive.writeSectors(100, out.get(), 1));
  EXPECT_TRUE(drive.mountDrive());
  EXPECT_EQ(before, states());
  EXPECT_EQ("kept across dismount", test::readFile(mnt1 + "/note.txt"));
  EXPECT_EQ("seen through the bind", test::readFile(bound + "/deep.txt"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.get()), 512),
            test::readFile(loop->backingFile()).substr(100 * 512, 512));

  const std::string mounted1 = LoopDevice::mountAt(mnt1);
  ASSERT_TRUE(drive.dismountDrive());
  {
    std::unique_ptr<WinDiskDevice> copy(drive.clone());
    WinDiskDevice assigned(loop->path());
    assigned = drive;
  }  // a worker's copies go while the original still writes
  EXPECT_EQ("", LoopDevice::mountAt(mnt1));
  EXPECT_TRUE(mountRefused(loop->partition(2), dir.file("other2"))) << "the holds are still there";
  drive = WinDiskDevice(loop->path());  // assigning over the dismounting object gives its volumes back first
  EXPECT_EQ(mounted1, LoopDevice::mountAt(mnt1));
  EXPECT_FALSE(mountRefused(loop->partition(2), dir.file("other2")));
  ASSERT_TRUE(WinDiskDevice(loop->path()).dismountDrive());  // and so does one that goes while dismounted
  EXPECT_EQ(mounted1, LoopDevice::mountAt(mnt1));
  // {the new table, whether partition 1 is mounted back}
  const std::pair<std::vector<std::pair<u32, u32>>, bool> cases[] = {
      {{{2048, 32768}, {40960, 8192}, {49152, 16384}}, true},  // a third partition, the second moved
      {{{2048, 16384}}, false},                                // partition 1 shrunk in place
      {{}, false},                                             // no partitions
  };
  for (const auto& [table, mountedBack] : cases) {
    SCOPED_TRACE(table.size());
    writeTable(drive, table);
    std::map<int, std::pair<u64, u64>> expected;
    for (std::size_t i = 0; i < table.size(); ++i) expected[int(i) + 1] = table[i];
    EXPECT_EQ(expected, kernelPartitions(loop->name()));
    EXPECT_EQ(mountedBack ? mounted1 : "", LoopDevice::mountAt(mnt1));
  }
}

// Drives that refuse writes: a device marked read-only, a medium that refuses a read-write
// open (a write-protected card), an empty card-reader slot. Each opens as write-protected,
// and a writing service refuses it naming the drive before it dismounts anything. A drive
// that does not open at all is a disk access error. Then a file system on the whole device
// is a volume of its own; one written inside while it was away is not mounted back over
// what is there now.
TEST(WinDiskDevice, RefusedWritesAndAWholeDeviceVolumeWrittenWhileDismounted) {
  EXPECT_TRUE(test::throwsVantor([] { (void)DiskFactory::getDiskDevice("/dev/vantor-no-such-drive"); },
                                 ERR_DISK_ACCESS, "Failed to open handle to device \"/dev/vantor-no-such-drive\""));
  TempDir dir;
  std::string why;
  auto writable = LoopDevice::create(dir.path(), {8ull << 20, 512, ""}, why);
  if (!writable) GTEST_SKIP() << why;
  const std::string mnt = dir.file("mnt");
  ASSERT_TRUE(LoopDevice::makeFs("ext2", writable->path()));
  auto readOnly = LoopDevice::attach(writable->backingFile(), 512, why, true);
  ASSERT_TRUE(readOnly && LoopDevice::mount(readOnly->path(), mnt, "ro")) << why;
  for (const int how : {0, EROFS, ENOMEDIUM}) {
    const std::string path = how ? writable->path() : readOnly->path();
    SCOPED_TRACE(path + " " + std::to_string(how));
    refusedPath = how ? path : "";
    refusal = how;
    auto disk = DiskFactory::getDiskDevice(path);
    refusedPath.clear();
    EXPECT_TRUE(dynamic_cast<WinDisk&>(*disk).isWriteProtected());
    EXPECT_EQ(disk->getSizeBytes(), how == ENOMEDIUM ? 0 : 8ull << 20);
    const std::string refused = "The drive \"" + path + "\" " +
                                (how == ENOMEDIUM ? "has no medium" : "is write-protected (read-only)") +
                                ": nothing was written to it.";
    EXPECT_TRUE(test::throwsVantor([&] { PartitionTools::writePartitionsToMBR(*disk, {}); }, ERR_DISK_ACCESS, refused));
    EXPECT_NE("", LoopDevice::mountAt(mnt)) << "refused before the dismount";
  }
  readOnly.reset();
  ASSERT_TRUE(LoopDevice::mount(writable->path(), mnt));
  auto drive = DiskFactory::getDiskDevice(writable->path());
  ASSERT_TRUE(drive->dismountDrive());
  EXPECT_TRUE(mountRefused(writable->path(), dir.file("other")));
  DiskBufferPointer zeros(4096);
  ASSERT_TRUE(drive->writeSectors(2048, zeros.get(), 8));
  EXPECT_TRUE(drive->mountDrive());
  EXPECT_EQ("", LoopDevice::mountAt(mnt));
}

constexpr u32 kDriveSectors = 65536;  // 32 MiB
constexpr u32 kVolume = 2048;         // the first chunks of its used sectors start here, 256 sectors apart

// The device and its partition node (where it still is) open with O_EXCL: nobody holds them.
::testing::AssertionResult nothingHeld(const LoopDevice& loop) {
  for (const std::string& node : {loop.path(), loop.partition(1)}) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return ::testing::AssertionFailure() << node << " is held: " << std::strerror(errno);
    if (fd >= 0) ::close(fd);
  }
  return ::testing::AssertionSuccess();
}

// A watched loop device over a drive of an MBR with one FAT16 volume holding two files,
// its bytes in `backing`. A capture ends at a failed read of the MBR, while the used
// sectors are worked out: the file is left empty; at a failed chunk, with the file
// removed. A restore ends at the failing chunk, with every earlier chunk on the drive (but
// sector 0, which goes last) and no later one; a failed read-back comes after its chunk
// was written; a drive that vanishes fails every later request. Zeroing ends at its first
// failed write, the drive's last sector.
TEST(FailingDrive, EachOperationEndsAtTheFailedTransferAndHoldsNothing) {
  TempDir scratch;
  const std::string backing = scratch.file("backing.img"), imagePath = scratch.file("drive.img");
  const std::string q = test::shellQuote(backing), at = std::to_string(kVolume);  // 31744 KiB from there on
  test::runOrThrow("cd " + test::shellQuote(scratch.path()) + " && truncate -s 32M " + q +
                   " && printf 'label: dos\\n" + at + ",,e,*\\n' | sfdisk -q " + q + " && mkfs.fat -F 16 -h " + at +
                   " --offset " + at + " " + q + " 31744 >/dev/null && head -c 300000 /dev/urandom >a.bin" +
                   " && head -c 700000 /dev/urandom >b.bin && MTOOLS_SKIP_CHECK=1 mcopy -i " + q + "@@" +
                   std::to_string(kVolume * 512) + " a.bin b.bin ::/");
  std::string why;
  const auto loop = LoopDevice::attach(backing, 512, why);
  if (!loop) GTEST_SKIP() << why;
  const Watch watch(loop->path());
  const auto open = [&] { return DiskFactory::getDiskDevice(loop->path()); };
  const auto capture = [&](DiskImager& i) { return i.startReadingImage(imagePath, true, false); };
  arm("read", 0);
  EXPECT_EQ("error 4 Failed to read MBR", test::runImaging(open(), capture));
  EXPECT_TRUE(std::filesystem::exists(imagePath) && std::filesystem::file_size(imagePath) == 0);
  EXPECT_TRUE(nothingHeld(*loop));
  // A bad sector in a block the drive read ahead for an earlier chunk fails its own chunk.
  arm("read", kVolume + 1280 + 5);
  EXPECT_EQ(vrk::SprintfFormat("error 4 Error reading sector chunk starting at LBA %08Xh", kVolume + 1280).str(),
            test::runImaging(open(), capture));
  EXPECT_FALSE(std::filesystem::exists(imagePath));
  arm("", 0);
  ASSERT_EQ("finished", test::runImaging(open(), capture));
  const std::string original = test::readFile(backing);
  const auto restore = [&](DiskImager& i) { return i.startWritingImage(imagePath, true, false, true, nullptr); };
  // {rule at sector 5 of the chunk, chunk}; the vanished drive stays gone, so it comes last.
  const std::pair<std::string, u32> cases[] = {
      {"write", kVolume + 256}, {"read", kVolume + 768}, {"vanish", kVolume + 1024}};
  for (const auto& [rule, chunk] : cases) {
    SCOPED_TRACE(rule);
    std::filesystem::resize_file(backing, 0);  // a blank drive
    std::filesystem::resize_file(backing, u64(kDriveSectors) * 512);
    arm(rule, chunk + 5);
    const char* error = rule == "read" ? "error 4 Error reading sector chunk starting at LBA %08Xh"
                                       : "error 4 Error writing sector chunk starting at LBA %08Xh";
    EXPECT_EQ(vrk::SprintfFormat(error, chunk).str(), test::runImaging(open(), restore));
    EXPECT_TRUE(nothingHeld(*loop));
    const std::string disk = test::readFile(backing);
    const std::size_t end = std::size_t(chunk + (rule == "read" ? 256 : 0)) * 512;
    // Sector 0, the new table, would have gone last: the blank drive keeps its own.
    EXPECT_EQ(std::string::npos, disk.substr(0, 512).find_first_not_of('\0'));
    EXPECT_TRUE(disk.compare(512, end - 512, original, 512, end - 512) == 0);
    EXPECT_EQ(std::string::npos, disk.find_first_not_of('\0', std::size_t(chunk + 256) * 512));
  }
  arm("write", kDriveSectors - 1);
  EXPECT_EQ("error 4 Failed to write sector block.",
            test::runImaging(open(), [](DiskImager& i) { return i.startZeroingDisk(true, boost::none); }));
  EXPECT_TRUE(nothingHeld(*loop));
}

// The loop device shown to the library as the running system's drive by made-up mount
// and swap tables (its partition at / or /boot/efi, or as swap; a loop device over a file
// in that partition at /; a mount table that cannot be read): restore, zeroing, the MBR write and the boot key each refuse it before they
// dismount or write anything, so its volume stays mounted and its bytes unchanged. It is
// written once the tables put the system elsewhere, or once the host allows it. A disk
// file behind a loop device is refused for writing, and an image that is the target, or
// the file behind it, or (for a restore) lies on its volume, is refused as it starts.
TEST(SystemDrive, EveryWritingServiceRefusesItBeforeItDismounts) {
  TempDir scratch;
  std::string why;
  const auto loop = LoopDevice::create(scratch.path(), {8ull << 20, 512, "label: dos\n2048,,83\n"}, why);
  if (!loop) GTEST_SKIP() << why;
  ASSERT_TRUE(LoopDevice::makeFs("ext2", loop->partition(1)));
  const std::string& backing = loop->backingFile();
  const auto open = [&] { return DiskFactory::getDiskDevice(loop->path()); };
  const std::string image = scratch.file("drive.img");
  ASSERT_EQ("finished", test::runImaging(open(), [&](DiskImager& i) {
              i.setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME);
              return i.startReadingImage(image, true, false);
            }));
  const std::string mnt = scratch.file("mnt");
  ASSERT_TRUE(LoopDevice::mount(loop->partition(1), mnt));
  auto stacked = LoopDevice::create(mnt, {1ull << 20, 512, ""}, why);
  ASSERT_TRUE(stacked) << why;
  ASSERT_EQ(0, test::run("sync"));
  const std::string before = test::readFile(backing);
  const std::string p1 = loop->partition(1);
  // A line of the mount table: `node` mounted at `point`.
  const auto mountLine = [](const std::string& node, const std::string& point) {
    const dev_t device = deviceNumber(node);
    return "36 1 " + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " / " + point +
           " rw - ext2 " + node + " rw\n";
  };
  const std::string elsewhere = "36 1 254:250 / / rw - ext4 /dev/vantor-elsewhere rw\n";
  const std::string swapHeader = "Filename\tType\tSize\tUsed\tPriority\n";
  struct Tables { std::string mounts, swaps, reason; };
  const Tables systems[] = {
      {mountLine(p1, "/"), swapHeader, "/ is mounted from " + p1},
      {elsewhere + mountLine(p1, "/boot/efi"), swapHeader, "/boot/efi is mounted from " + p1},
      {mountLine(stacked->path(), "/"), swapHeader, "/ is mounted from " + stacked->path()},
      {elsewhere, swapHeader + p1 + "\tpartition\t1024\t0\t-2\n", "swap is active on " + p1},
      {"", swapHeader, "the mount table cannot be read, so nothing tells the device is unused"},
  };
  const auto services = test::writingServices(image);  // restore, zeroing, the MBR write, the boot key
  const auto tableFiles = [&](const Tables& t) {
    if (!t.mounts.empty()) test::writeFile(scratch.file("mountinfo"), t.mounts);
    test::writeFile(scratch.file("swaps"), t.swaps);
    return os::MountTableOverride(t.mounts.empty() ? scratch.file("no-such-table") : scratch.file("mountinfo"),
                                  scratch.file("swaps"));
  };
  for (const Tables& system : systems) {
    SCOPED_TRACE(system.reason);
    const os::MountTableOverride tables = tableFiles(system);
    const std::string refusal = "refusing to write " + loop->path() + ": it holds the running system (" + system.reason + ")";
    EXPECT_EQ(system.reason, WriteSafety::systemUse(*open()).str());
    // Asked first on its own: a drive not refused here would be dismounted by the services
    // below, against a table that names system mount points.
    ASSERT_TRUE(test::throwsVantor([&] { WriteSafety::refuseUnsafeWrites(*open()); }, ERR_INVALID_ARGUMENT, refusal));
    for (const auto& service : services) EXPECT_EQ("error 17 " + refusal, service(open()));
    EXPECT_NE("", LoopDevice::mountAt(mnt)) << "refused before the dismount";
  }
  EXPECT_TRUE(test::readFile(backing) == before) << "nothing was written";

  stacked.reset();
  ASSERT_EQ(0, test::run("umount " + test::shellQuote(mnt)));
  {
    const os::MountTableOverride tables = tableFiles({elsewhere, swapHeader, ""});
    EXPECT_EQ("finished", services[1](open()));
  }
  {
    const os::MountTableOverride tables = tableFiles(systems[3]);  // swap: the drive holds no mount
    auto drive = std::dynamic_pointer_cast<WinDiskDevice>(open());
    drive->setSystemWritesAllowed(true);
    EXPECT_EQ("finished", services[0](std::shared_ptr<IDisk>(drive->clone())));
  }

  const auto file = std::make_shared<WinDiskFile>(backing, WinDiskFile::OpenExisting, 512, 0);
  EXPECT_TRUE(test::throwsVantor([&] { WriteSafety::refuseUnsafeWrites(*file); }, ERR_DISMOUNT_FAILED,
                                 "disk file " + backing + " is in use by the loop device " + loop->path() +
                                     "; free it first (umount, losetup -d); nothing was written"));
  EXPECT_EQ("error 17 the image cannot be the file behind the loop device " + loop->path(),
            test::runImaging(open(), [&](DiskImager& i) { return i.startReadingImage(backing, true, false); }));
  EXPECT_EQ("error 17 the image cannot be the target itself",
            test::runImaging(file, [&](DiskImager& i) { return i.startReadingImage(backing, true, false); }));
  ASSERT_TRUE(LoopDevice::mount(p1, mnt));
  const std::string onVolume = mnt + "/drive.img";
  std::filesystem::copy_file(image, onVolume);
  EXPECT_EQ("error 17 the image cannot be read from a volume of " + loop->path() + ", which the restore overwrites",
            test::runImaging(open(), [&](DiskImager& i) { return i.startWritingImage(onVolume, true, false, false, nullptr); }));
  EXPECT_NE("", LoopDevice::mountAt(mnt));
}

TEST(FailingImageFile, AWriteTheSystemRefusesEndsTheCaptureNamingTheFileAndTheReason) {
  TempDir scratch;
  const std::string image = scratch.file("big.img");
  // Files of this process may not grow past 4 KiB while the capture runs; a write past
  // that fails with EFBIG instead of raising SIGXFSZ.
  rlimit before{};
  ::getrlimit(RLIMIT_FSIZE, &before);
  const rlimit limit{4096, before.rlim_max};
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const std::string last =
      test::runImaging(std::make_shared<test::FakeDisk>(512, 64), [&](DiskImager& i) { return i.startReadingImage(image, true, true); });
  ::setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ("error 6 Error writing image file \"" + image + "\": " + std::strerror(EFBIG), last);
}

}  // namespace
}  // namespace vantor

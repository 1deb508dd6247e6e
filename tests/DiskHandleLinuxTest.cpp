// The disk over a system handle against what only a drive does: answer a geometry, lose its
// medium during a write, move more than the system's largest single transfer. This
// program is linked with ioctl(2) and write(2) wrapped, so that a test can make a handle
// answer a geometry or lose its medium; Linux only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include <libVantor/VantorException.h>
#include <libVantor/WinDisk.h>
#include <libVantor/internal/DiskBufferPointer.h>
#include <vrk/Log.h>

#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
int geometryFd = -1;       // the descriptor that answers a geometry
int geometryQueries = 0;   // HDIO_GETGEO requests seen for it
int mediumGoneFd = -1;     // the descriptor whose writes fail with ENOMEDIUM
}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (geometryFd >= 0 && fd == geometryFd) {
    if (request == HDIO_GETGEO) {
      ++geometryQueries;
      auto* g = static_cast<hd_geometry*>(argument);
      g->heads = 16;
      g->sectors = 63;
      g->cylinders = 0;
      g->start = 0;
      return 0;
    }
    if (request == BLKSSZGET) {
      *static_cast<int*>(argument) = 512;
      return 0;
    }
    if (request == BLKGETSIZE64) {
      *static_cast<unsigned long long*>(argument) = 100ull * 16 * 63 * 512;
      return 0;
    }
  }
  return __real_ioctl(fd, request, argument);
}

extern "C" ssize_t __real_write(int fd, const void* buffer, size_t count);
extern "C" ssize_t __wrap_write(int fd, const void* buffer, size_t count) {
  if (mediumGoneFd >= 0 && fd == mediumGoneFd) {
    errno = ENOMEDIUM;
    return -1;
  }
  return __real_write(fd, buffer, count);
}

namespace vantor::test {
namespace {

vrk::FileHandle openHandle(const std::string& path, int flags) {
  return vrk::FileHandle(::open(path.c_str(), flags | O_CLOEXEC, 0644));
}

// The system moves at most 0x7FFFF000 bytes a call; a request between that and 4 GiB
// is still one transfer, done whole. (Reads carry on the same way; a write to the null
// device never touches the buffer's pages, which keeps the test fast.)
TEST(DiskHandle, TransfersOfTwoToFourGibibytesAreDoneWhole) {
  const u32 sectors = (3u << 30) / 512;
  DiskBufferPointer buffer(u64(sectors) * 512);
  WinDisk sink(openHandle("/dev/null", O_WRONLY), 512, u64(sectors) * 512);
  EXPECT_TRUE(sink.writeSectors(0, buffer.get(), sectors));
}

TEST(DiskHandle, GeometryIsAskedOnceAfterASuccess) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(512, 'g'));
  WinDisk disk(openHandle(dir.file("disk"), O_RDWR), 512, 512);
  DiskGeometry g;
  EXPECT_FALSE(disk.getDiskGeometry(g)) << "a plain file has no geometry";
  EXPECT_FALSE(disk.getCHSAddressFromLBA(0, true));

  geometryFd = disk.getHandle().get();
  geometryQueries = 0;
  ASSERT_TRUE(disk.getDiskGeometry(g));
  ASSERT_TRUE(disk.getDiskGeometry(g));
  EXPECT_EQ(geometryQueries, 1);
  EXPECT_EQ(g.tracksPerCylinder, 16u);
  EXPECT_EQ(g.sectorsPerTrack, 63u);
  EXPECT_EQ(g.cylinders, 100u);
  EXPECT_EQ(g.bytesPerSector, 512u);
  WinDisk copy(disk);  // the cached geometry travels with copies
  geometryFd = -1;
  ASSERT_TRUE(copy.getDiskGeometry(g));
  EXPECT_EQ(geometryQueries, 1);
  EXPECT_EQ(copy.getCHSAddressFromLBA(1008, true).value().cylinder, 1u);
}

TEST(DiskHandle, LostMediumOnWriteThrowsAfterLogging) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(512, 'm'));
  WinDisk disk(openHandle(dir.file("disk"), O_RDWR), 512, 512);
  LogCapture log("vantor.WinDisk");
  u8 sector[512] = {};
  mediumGoneFd = disk.getHandle().get();
  try {
    (void)disk.writeSectors(0, sector, 1);
    ADD_FAILURE() << "no exception";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_MEDIA_CHANGED);
    EXPECT_EQ(e.getMessage(), "Drive reports that the media may have changed. Reinsert device.");
  }
  mediumGoneFd = -1;
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].rfind("106 Error writing to disk device.", 0), 0u);
}

}  // namespace
}  // namespace vantor::test

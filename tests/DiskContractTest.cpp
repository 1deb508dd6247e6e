// What every disk promises, run over each kind: the fake disk, a disk file, and a drive
// (a loop device; skipped where none can be made). Sizes, transfers that move exactly
// the sectors asked, requests past the end refused, no volumes to hold, and the data
// filter seeing reads after and writes before the medium, a copy owning its own.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <libVantor/WinDiskFile.h>
#if !defined(_WIN32)
#include <libVantor/WinDiskDevice.h>
#endif
#include <libVantor/internal/DiskBufferPointer.h>

#include "support/FakeDisk.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

constexpr u32 SECTORS = 4096;  // 2 MiB of 512-byte sectors

struct Fake {
  static std::unique_ptr<IDisk> make(TempDir&, std::unique_ptr<LoopDevice>&, std::string&) {
    auto disk = std::make_unique<FakeDisk>(512, SECTORS);
    disk->setStrict(false);  // requests past the end are probed on purpose
    return disk;
  }
};
struct File {
  static std::unique_ptr<IDisk> make(TempDir& dir, std::unique_ptr<LoopDevice>&, std::string&) {
    return std::make_unique<WinDiskFile>(dir.file("disk"), WinDiskFile::OpenAlways, 512, u64(SECTORS) * 512);
  }
};
#if !defined(_WIN32)
struct Drive {  // drives only on Linux, as loop devices: elsewhere a drive would be a real one
  static std::unique_ptr<IDisk> make(TempDir& dir, std::unique_ptr<LoopDevice>& loop, std::string& why) {
    loop = LoopDevice::create(dir.path(), {u64(SECTORS) * 512, 512, ""}, why);
    return loop ? std::make_unique<WinDiskDevice>(loop->path()) : nullptr;
  }
};
#endif

// Flips the first byte of every read; vetoes every transfer unless it passes.
struct FlippingFilter : IDiskDataFilter {
  explicit FlippingFilter(bool passes) : pass(passes) {}
  IDiskDataFilter* clone() const override { return new FlippingFilter(*this); }
  bool filterReadData(u32, void* buffer, u32) const override {
    static_cast<u8*>(buffer)[0] ^= 0xFF;
    return pass;
  }
  bool filterWriteData(u32, const void*, u32) override { return pass; }
  bool pass;
};

// `count` sectors of a pattern that differs per sector and per seed.
DiskBufferPointer pattern(u32 count, u8 seed) {
  DiskBufferPointer b(u64(count) * 512);
  for (u64 i = 0; i < u64(count) * 512; ++i) b.get()[i] = static_cast<u8>(i * 31 + i / 512 + seed);
  return b;
}

bool holds(IDisk& d, u32 sector, const DiskBufferPointer& want, u32 count) {
  DiskBufferPointer got(u64(count) * 512);
  return d.readSectors(sector, got.get(), count) && std::memcmp(got.get(), want.get(), u64(count) * 512) == 0;
}

template <class Kind>
class DiskContract : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = Kind::make(dir, loop, why);
    if (!disk) GTEST_SKIP() << why;
  }
  TempDir dir;
  std::unique_ptr<LoopDevice> loop;
  std::string why;
  std::unique_ptr<IDisk> disk;
};

#if defined(_WIN32)
using Kinds = ::testing::Types<Fake, File>;
#else
using Kinds = ::testing::Types<Fake, File, Drive>;
#endif
TYPED_TEST_SUITE(DiskContract, Kinds);

TYPED_TEST(DiskContract, TransfersMoveExactlyTheSectorsAskedAndNothingPastTheEnd) {
  IDisk& d = *this->disk;
  EXPECT_EQ(d.getSectorSize(), 512u);
  EXPECT_EQ(d.getSizeSectors(), SECTORS);
  EXPECT_EQ(d.getSizeBytes(), u64(SECTORS) * 512);
  DiskBufferPointer zeros(512);
  // A run across a chunk-sized boundary, one sector, the last sector.
  const struct { u32 sector, count; } runs[] = {{250, 10}, {1, 1}, {SECTORS - 1, 1}};
  for (const auto& r : runs) {
    const DiskBufferPointer data = pattern(r.count, static_cast<u8>(r.sector));
    ASSERT_TRUE(d.writeSectors(r.sector, data.get(), r.count)) << r.sector;
    EXPECT_TRUE(holds(d, r.sector, data, r.count)) << r.sector;
  }
  for (const u32 untouched : {0u, 249u, 260u}) EXPECT_TRUE(holds(d, untouched, zeros, 1)) << untouched;
  EXPECT_TRUE(d.readSectors(5, zeros.get(), 0)) << "zero sectors: nothing to move";

  DiskBufferPointer buffer = pattern(2, 9);
  EXPECT_FALSE(d.readSectors(SECTORS, buffer.get(), 1));
  EXPECT_FALSE(d.readSectors(SECTORS - 1, buffer.get(), 2));
  if (dynamic_cast<WinDiskFile*>(&d) == nullptr) {  // a disk file grows instead
    EXPECT_FALSE(d.writeSectors(SECTORS - 1, buffer.get(), 2));
    EXPECT_EQ(d.getSizeSectors(), SECTORS);
  }
  // Without volumes every volume operation succeeds.
  vrk::Array<vrk::String> mountPoints;
  d.getMountPoints(mountPoints);
  EXPECT_TRUE(mountPoints.empty());
  EXPECT_TRUE(d.lockDrive() && d.unlockDrive() && d.dismountDrive() && d.mountDrive());
}

TYPED_TEST(DiskContract, FilterSeesReadsAfterAndWritesBeforeTheMedium) {
  IDisk& d = *this->disk;
  d.setDataFilter(new FlippingFilter(true));
  DiskBufferPointer data = pattern(1, 3), back(512);
  ASSERT_TRUE(d.writeSectors(7, data.get(), 1));
  ASSERT_TRUE(d.readSectors(7, back.get(), 1));
  EXPECT_EQ(back.get()[0], u8(data.get()[0] ^ 0xFF)) << "the filter sees, and may change, what was read";
  std::unique_ptr<IDisk> copy(d.clone());
  EXPECT_NE(copy->getDataFilter(), d.getDataFilter()) << "each copy owns a filter of its own";
  d.setDataFilter(new FlippingFilter(false));
  const DiskBufferPointer other = pattern(1, 4);
  EXPECT_FALSE(d.writeSectors(7, other.get(), 1));
  EXPECT_FALSE(d.readSectors(7, back.get(), 1));
  d.setDataFilter(nullptr);
  EXPECT_TRUE(holds(d, 7, data, 1)) << "a vetoed write never reaches the medium";
}

}  // namespace
}  // namespace vantor::test

// What every disk inherits from IDisk: the data filter contract, its ownership across
// copies, LBA/CHS conversion, and the error vocabulary.
#include <gtest/gtest.h>

#include <cstring>

#include <libVantor/IDisk.h>
#include <libVantor/VantorException.h>

#include "support/FakeDisk.h"

namespace vantor::test {
namespace {

struct FilterLog {
  int reads = 0, writes = 0, clones = 0, deletes = 0;
};

class CountingFilter : public IDiskDataFilter {
 public:
  CountingFilter(FilterLog& log, bool readResult, bool writeResult)
      : log_(log), readResult_(readResult), writeResult_(writeResult) {}
  ~CountingFilter() override { ++log_.deletes; }
  IDiskDataFilter* clone() const override {
    ++log_.clones;
    return new CountingFilter(*this);
  }
  bool filterReadData(u32, void* buffer, u32) const override {
    ++log_.reads;
    static_cast<u8*>(buffer)[0] ^= 0xFF;  // the filter sees, and may change, what was read
    return readResult_;
  }
  bool filterWriteData(u32, const void*, u32) override {
    ++log_.writes;
    return writeResult_;
  }

 private:
  CountingFilter(const CountingFilter&) = default;
  FilterLog& log_;
  bool readResult_, writeResult_;
};

// A disk that keeps IDisk's default for writes: read-only.
class ReadOnlyDisk final : public IDisk {
 public:
  ReadOnlyDisk* clone() const override { return new ReadOnlyDisk(*this); }
  u64 getSizeBytes() const override { return 512; }
  u32 getSizeSectors() const override { return 1; }
  u32 getSectorSize() const override { return 512; }

 protected:
  bool impReadSectors(u32, void*, u32) const override { return true; }
};

TEST(IDiskFilter, SeesReadsAfterAndWritesBeforeTheMedium) {
  FakeDisk disk(512, 8);
  FilterLog log;
  disk.setDataFilter(new CountingFilter(log, true, true));
  u8 sector[512] = {};
  disk.bytes()[0] = 0x11;
  ASSERT_TRUE(disk.readSectors(0, sector, 1));
  EXPECT_EQ(sector[0], 0xEE);
  ASSERT_TRUE(disk.writeSectors(1, sector, 1));
  EXPECT_EQ(log.reads, 1);
  EXPECT_EQ(log.writes, 1);
}

TEST(IDiskFilter, VetoesWritesAndFailsReads) {
  FakeDisk disk(512, 8);
  FilterLog log;
  disk.setDataFilter(new CountingFilter(log, false, false));
  u8 sector[512];
  std::memset(sector, 0x5A, sizeof sector);
  EXPECT_FALSE(disk.writeSectors(2, sector, 1));
  EXPECT_TRUE(disk.writes().empty()) << "a vetoed write never reaches the medium";
  EXPECT_FALSE(disk.readSectors(2, sector, 1));
  EXPECT_EQ(disk.calls().size(), 1u) << "the medium was read all the same";

  disk.gate = [](FakeDisk::Op, u32, u32) { return false; };
  EXPECT_FALSE(disk.readSectors(2, sector, 1));
  EXPECT_EQ(log.reads, 1) << "the filter does not see a failed raw read";
}

TEST(IDiskFilter, CopiesCloneTheFilterAndEachOwnsItsOwn) {
  FilterLog log;
  {
    auto original = std::make_unique<FakeDisk>(512, 8);
    original->setDataFilter(new CountingFilter(log, true, true));
    FakeDisk copy(*original);
    EXPECT_EQ(log.clones, 1);
    EXPECT_NE(copy.getDataFilter(), original->getDataFilter());
    FakeDisk assigned(512, 1);
    assigned = copy;
    EXPECT_EQ(log.clones, 2);
    assigned = assigned;  // self-assignment keeps the filter
    EXPECT_EQ(log.clones, 2);
    original.reset();
    EXPECT_EQ(log.deletes, 1);
    u8 sector[512];
    EXPECT_TRUE(copy.readSectors(0, sector, 1));  // the copy's filter is intact
    copy.setDataFilter(nullptr);
    EXPECT_EQ(log.deletes, 2);
    IDiskDataFilter* same = new CountingFilter(log, true, true);
    assigned.setDataFilter(same);
    assigned.setDataFilter(same);  // installing the installed filter keeps it
    EXPECT_EQ(assigned.getDataFilter(), same);
  }
  EXPECT_EQ(log.deletes, 4);
}

TEST(IDiskFilter, DisksAreReadOnlyUnlessTheyWrite) {
  ReadOnlyDisk disk;
  u8 sector[512] = {};
  EXPECT_FALSE(disk.writeSectors(0, sector, 1));
  EXPECT_TRUE(disk.readSectors(0, sector, 1));
  DiskGeometry g{7, 7, 7, 7};
  EXPECT_FALSE(disk.getDiskGeometry(g));
  EXPECT_EQ(g.cylinders, 7u);
  EXPECT_EQ(disk.getMediaType(), MEDIA_UNKNOWN);
  EXPECT_TRUE(disk.dismountDrive() && disk.mountDrive() && disk.lockDrive() && disk.unlockDrive());
}

TEST(IDiskCHS, ConvertsByTheGeometry) {
  const DiskGeometry g{1024, 255, 63, 512};
  FakeDisk disk(512, 100, g);
  struct Case {
    u64 lba;
    boost::optional<CHSAddress> chs;
  };
  const Case cases[] = {
      {0, CHSAddress{0, 0, 1}},
      {62, CHSAddress{0, 0, 63}},
      {63, CHSAddress{0, 1, 1}},
      {16065, CHSAddress{1, 0, 1}},
      {1024ull * 16065 - 1, CHSAddress{1023, 254, 63}},  // the last sector of the geometry
      {1024ull * 16065, boost::none},                    // past it
      {(1ull << 32) + 5, boost::none},
  };
  for (const Case& c : cases) {
    const auto got = disk.getCHSAddressFromLBA(c.lba, true);
    EXPECT_EQ(got.has_value(), c.chs.has_value()) << c.lba;
    if (got && c.chs) {
      EXPECT_EQ(*got, *c.chs) << c.lba;
      EXPECT_EQ(disk.getLBAAddressFromCHS(*got).value_or(~0ull), c.lba);
    }
  }
  EXPECT_FALSE(disk.getCHSAddressFromLBA(1024ull * 16065, false)) << "non-strict gives no address either";

  FakeDisk noGeometry(512, 100);
  EXPECT_FALSE(noGeometry.getCHSAddressFromLBA(0, true));
  EXPECT_EQ(noGeometry.getLBAAddressFromCHS(CHSAddress{1, 2, 3}).value_or(99), 0u);
  FakeDisk zeroHeads(512, 100, DiskGeometry{10, 0, 63, 512});
  EXPECT_FALSE(zeroHeads.getCHSAddressFromLBA(0, true));
}

TEST(VantorExceptionTest, CarriesCodeAndMessageThroughCopiesAndBaseHandlers) {
  EXPECT_EQ(VantorException(ERR_DISK_ACCESS).getMessage(), "");
  EXPECT_EQ(VantorException("text").getErrorCode(), ERR_GENERAL);
  EXPECT_EQ(VantorException().getErrorCode(), ERR_GENERAL);
  VantorException a(ERR_VERIFY_MISMATCH, "first");
  VantorException b(a);
  EXPECT_EQ(b.getErrorCode(), ERR_VERIFY_MISMATCH);
  EXPECT_EQ(b.getMessage(), "first");
  b = VantorException(ERR_ABORTED, "second");
  EXPECT_EQ(b.getErrorCode(), ERR_ABORTED);
  EXPECT_EQ(b.getMessage(), "second");
  try {
    throw VantorException(ERR_FILE_ACCESS, "caught as base");
  } catch (const vrk::Exception& e) {
    EXPECT_EQ(e.getMessage(), "caught as base");
  }
  static_assert(ERR_UNSUPPORTED_SECTOR_SIZE == 15 && ERR_ABORTED == 16 && ERR_INVALID_ARGUMENT == 17, "numbers");
  EXPECT_STREQ(errorCodeName(ERR_INVALID_IMAGE_FILE), "ERR_INVALID_IMAGE_FILE");
  EXPECT_STREQ(errorCodeName(static_cast<VantorErrorCodes>(14)), "ERR_UNKNOWN");
}

}  // namespace
}  // namespace vantor::test

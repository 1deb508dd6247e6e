// Boot key preparation: the layout on a file-backed key read back byte by byte and by
// sfdisk; FakeDisk to show that every check fires before anything is written and to
// inject dismount, write and mount failures.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include <libVantor/DiskDevice.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/LittleEndian.h>

#include "support/FakeDisk.h"
#include "support/FatImage.h"
#include "support/TempDir.h"
#include "support/ThrowsVantor.h"
#include "support/ToolSteps.h"

namespace vantor {
namespace {

using test::FakeDisk;
using Op = FakeDisk::Op;
using Info = OxbowKeyFormatter::FormatInfo;

using test::throwsVantor;

// FormatInfo's fields in declaration order, for comparing and printing.
auto fields(const Info& i) {
  return std::make_tuple(i.bootLoaderSectors, i.reservedSectors, i.payloadFirstSector, i.payloadLastSector,
                         i.dataFirstSector, i.dataLastSector, i.startSegment, i.endSegment);
}

std::string patterned(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(i * 7 + seed);
    bytes[i] = c == 'V' ? 'W' : c;  // never an accidental signature
  }
  return bytes;
}

// A boot-loader file: patterned bytes with the boot signature at 510, table slots 2 and 3
// zero (so that sfdisk sees only what the formatter writes), and a header at `at`.
std::string bootLoader(std::size_t size, std::size_t at, u8 major = 1, u8 minor = 0) {
  std::string bytes = patterned(size, 1);
  if (size >= 512) {
    std::memset(&bytes[478], 0, 32);
    bytes[510] = char(0x55);
    bytes[511] = char(0xAA);
  }
  const char header[5] = {'V', 'R', 'K', char(major), char(minor)};
  for (std::size_t i = 0; i < sizeof header && at + i < size; ++i) bytes[at + i] = header[i];
  return bytes;
}

PARTITION_TABLE_ENTRY slotOf(const u8* sector0, u32 slot) {
  PARTITION_TABLE_ENTRY e;
  std::memcpy(&e, sector0 + 446 + 16 * slot, 16);
  return e;
}

// The key as the two files and the chosen layout say it must look, before the header
// fields and table slots 0 and 1 are patched in.
std::string expectedBootArea(const std::string& loader, const std::string& payload, u32 reserved) {
  const std::size_t B = (loader.size() + 511) / 512, P = (payload.size() + 511) / 512;
  std::string area((B + reserved + P) * 512, '\0');
  area.replace(0, loader.size(), loader);
  area.replace((B + reserved) * 512, payload.size(), payload);
  return area;
}

TEST(OxbowKeyFormatterTest, FileBackedKeyHoldsTheLayoutAndSfdiskSeesTheTwoEntries) {
  VANTOR_REQUIRE_TOOLS();
  struct Case {
    u16 reserved;
    std::size_t headerAt;
    u32 T, payloadFirst;
    Info info;
  } cases[] = {
      {0, 100, 12, 2, {2, 0, 2, 11, 12, 16383, 0x2000, 0x3388}},
      {4, 0, 16, 6, {2, 4, 6, 15, 16, 16383, 0x2000, 0x3388}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string loaderPath = dir.file("boot.bin"), payloadPath = dir.file("payload.bin");
    const std::string keyPath = dir.file("key.img");
    const std::string loader = bootLoader(1000, c.headerAt), payload = patterned(5000, 3);
    test::writeFile(loaderPath, loader);
    test::writeFile(payloadPath, payload);
    test::writeFile(keyPath, std::string(8 << 20, char(0xEE)));  // 16384 sectors

    DiskDevice key("key", std::make_shared<WinDiskFile>(keyPath.c_str(), WinDiskFile::OpenExisting, 512, 0));
    OxbowKeyFormatter formatter(key);
    Info info;
    formatter.format(loaderPath.c_str(), payloadPath.c_str(), 0x2000, c.reserved, &info);
    EXPECT_EQ(fields(info), fields(c.info));

    EXPECT_EQ(test::sfdiskTable(keyPath),
              "0 " + std::to_string(c.T) + " " + std::to_string(16384 - c.T) + " b\n1 2 10 7e boot\n");

    const std::string written = test::readFile(keyPath);
    ASSERT_EQ(written.size(), std::size_t(8 << 20));
    const u8* bytes = reinterpret_cast<const u8*>(written.data());
    const u8* header = bytes + c.headerAt;
    EXPECT_EQ(readLE16(header + 5), 0x2000) << "load segment";
    EXPECT_EQ(readLE16(header + 7), c.payloadFirst) << "payload first sector";
    EXPECT_EQ(readLE16(header + 9), 10) << "payload sectors";

    // Every other byte of the boot area is the files' own (or zero padding); the CHS
    // bytes of slots 0 and 1 too, since a file-backed key has no geometry.
    std::string expected = expectedBootArea(loader, payload, c.reserved);
    ASSERT_EQ(expected.size(), c.T * 512);
    std::string actual = written.substr(0, expected.size());
    for (std::size_t i = c.headerAt + 5; i < c.headerAt + 11; ++i) actual[i] = expected[i];
    for (u32 slot = 0; slot < 2; ++slot) {
      for (std::size_t field : {0, 4, 8, 9, 10, 11, 12, 13, 14, 15}) {
        actual[446 + 16 * slot + field] = expected[446 + 16 * slot + field];
      }
    }
    EXPECT_TRUE(actual == expected) << "boot area differs outside the header fields and the table";
    EXPECT_EQ(written.find_first_not_of(char(0xEE), expected.size()), std::string::npos)
        << "the data partition is not written";
  }
}

TEST(OxbowKeyFormatterTest, BootAreaIsOneWriteBetweenDismountAndMountWithGeometryCHS) {
  const DiskGeometry geometry{64, 16, 32, 512};  // 32768 sectors
  auto disk = std::make_shared<FakeDisk>(512, 40000, geometry);
  test::TempDir dir;
  std::string loader = bootLoader(1000, 600, 1, 1);
  std::memcpy(&loader[478], "\x80\x01\x02\x03\x83\x04\x05\x06\x10\x00\x00\x00\x20\x00\x00\x00", 16);  // slot 2
  test::writeFile(dir.file("boot.bin"), loader);
  test::writeFile(dir.file("payload.bin"), patterned(5000, 9));
  DiskDevice key("key", disk);
  OxbowKeyFormatter(key).format(dir.file("boot.bin").c_str(), dir.file("payload.bin").c_str(), 0x1000, 0, nullptr);

  EXPECT_EQ(disk->calls(), (std::vector<FakeDisk::Call>{{Op::Dismount, 0, 0}, {Op::Write, 0, 12}, {Op::Mount, 0, 0}}));
  const std::vector<u8> bytes = disk->read(0, 512);
  const u8* sector0 = bytes.data();
  const PARTITION_TABLE_ENTRY data = slotOf(sector0, 0), boot = slotOf(sector0, 1);
  EXPECT_EQ(PartitionTools::getCHSAddress(data.startCHS), (CHSAddress{0, 0, 13}));
  EXPECT_EQ(std::memcmp(&data.endCHS, &loader[446 + 5], 3), 0) << "sector 39999 lies past the geometry";
  EXPECT_EQ(PartitionTools::getCHSAddress(boot.startCHS), (CHSAddress{0, 0, 3}));
  EXPECT_EQ(PartitionTools::getCHSAddress(boot.endCHS), (CHSAddress{0, 0, 12}));
  EXPECT_EQ(u32(data.startLBA), 12u);
  EXPECT_EQ(u32(data.sectorCount), 40000u - 12);
  EXPECT_EQ(std::memcmp(sector0 + 478, &loader[478], 34), 0) << "slots 2, 3 and the signature are the file's";
  EXPECT_EQ(disk->read(12 * 512, 512), std::vector<u8>(512, 0));
}

TEST(OxbowKeyFormatterTest, FirstSignatureIsPatchedWhereverItLies) {
  struct Case {
    const char* what;
    std::size_t size, headerAt;
    u8 major, minor;
  } cases[] = {
      {"1.0 at offset 0", 1000, 0, 1, 0},
      {"header ends at the file's end", 1000, 989, 1, 0},
      {"a file shorter than a sector", 100, 10, 1, 0},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    std::string loader = bootLoader(c.size, c.headerAt, c.major, c.minor);
    const std::size_t second = c.headerAt < 50 ? 60 : 20;  // a later signature stays as it is
    if (second > c.headerAt) std::memcpy(&loader[second], "VRK\x01\x00\x11\x11\x22\x22\x33\x33", 11);
    test::writeFile(dir.file("boot.bin"), loader);
    test::writeFile(dir.file("payload.bin"), "p");
    auto disk = std::make_shared<FakeDisk>(512, 100);
    DiskDevice key("key", disk);
    Info info;
    OxbowKeyFormatter(key).format(dir.file("boot.bin").c_str(), dir.file("payload.bin").c_str(), 0xFFFF, 0, &info);
    const std::vector<u8> bytes = disk->read(0, 1024);
    const u8* header = bytes.data() + c.headerAt;
    const u16 B = static_cast<u16>((c.size + 511) / 512);
    EXPECT_EQ(readLE16(header + 5), 0xFFFF) << c.what;
    EXPECT_EQ(readLE16(header + 7), B) << c.what;
    EXPECT_EQ(readLE16(header + 9), 1) << c.what;
    EXPECT_EQ(info.endSegment, 0x0000) << c.what << ": 16-bit arithmetic";
    if (second > c.headerAt) {
      EXPECT_EQ(std::memcmp(bytes.data() + second, &loader[second], 11), 0) << c.what;
    }
  }
}

TEST(OxbowKeyFormatterTest, EveryCheckFiresBeforeAnythingIsWritten) {
  test::TempDir dir;
  auto file = [&](const std::string& name, const std::string& bytes) {
    test::writeFile(dir.file(name), bytes);
    return dir.file(name);
  };
  const std::string loader = file("boot.bin", bootLoader(1000, 100)), payload = file("payload.bin", patterned(5000, 2));
  const std::string missing = dir.file("missing.bin"), empty = file("empty.bin", ""), big = dir.file("big.bin");
  test::writeFile(big, "");
  std::filesystem::resize_file(big, 65535 * 512);
  const std::string wrongVersion = "Expecting BootLoader version 1.0 or 1.1 but found ";
  struct Case {
    const char* what;
    std::string loader, payload;
    u16 segment, reserved;
    u32 sectorSize, keySectors;
    VantorErrorCodes code;
    std::string message;
  } cases[] = {
      {"segment below 1000h, before any file", missing, missing, 0x0FFF, 0, 512, 100, ERR_INVALID_ARGUMENT,
       "Start segment of 0FFFh is below the minimum segment (1000h)"},
      {"missing boot loader", missing, payload, 0x1000, 0, 512, 100, ERR_FILE_ACCESS,
       "Problem accessing file \"" + missing + "\""},
      {"empty boot loader", empty, payload, 0x1000, 0, 512, 100, ERR_FILE_ACCESS,
       "Problem accessing file \"" + empty + "\""},
      {"empty payload", loader, empty, 0x1000, 0, 512, 100, ERR_FILE_ACCESS, "Problem accessing file \"" + empty + "\""},
      {"no signature", file("plain.bin", patterned(1000, 5)), payload, 0x1000, 0, 512, 100, ERR_INVALID_BOOT_LOADER,
       "File is not an Oxbow bootloader"},
      {"version 1.2", file("v12.bin", bootLoader(1000, 100, 1, 2)), payload, 0x1000, 0, 512, 100,
       ERR_INVALID_BOOT_LOADER, wrongVersion + "1.2 instead."},
      {"version 2.0", file("v20.bin", bootLoader(1000, 100, 2, 0)), payload, 0x1000, 0, 512, 100,
       ERR_INVALID_BOOT_LOADER, wrongVersion + "2.0 instead."},
      {"version bytes past the file's end", file("v00.bin", bootLoader(1000, 997)), payload, 0x1000, 0, 512, 100,
       ERR_INVALID_BOOT_LOADER, wrongVersion + "0.0 instead."},
      {"4096-byte sectors", loader, payload, 0x1000, 0, 4096, 100, ERR_UNSUPPORTED_SECTOR_SIZE,
       "512 sector size required"},
      {"header cut by the file's end", file("cut.bin", bootLoader(1000, 990)), payload, 0x1000, 0, 512, 100,
       ERR_INVALID_BOOT_LOADER, "Boot loader header at offset 990 does not fit in the file of 1000 bytes"},
      {"boot area of 65536 sectors", loader, payload, 0x1000, 65524, 512, 70000, ERR_INVALID_ARGUMENT,
       "Boot area of 65536 sectors (boot loader 2, reserved 65524, payload 10) must stay below 65536 sectors"},
      {"payload of 65535 sectors", loader, big, 0x1000, 0, 512, 70000, ERR_INVALID_ARGUMENT,
       "Boot area of 65537 sectors (boot loader 2, reserved 0, payload 65535) must stay below 65536 sectors"},
      {"key smaller than the boot area", loader, payload, 0x1000, 0, 512, 11, ERR_INVALID_ARGUMENT,
       "Key of 11 sectors is smaller than the boot area of 12 sectors"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = std::make_shared<FakeDisk>(c.sectorSize, c.keySectors);
    DiskDevice key("key", disk);
    Info info{};
    info.startSegment = 0xABCD;
    EXPECT_TRUE(throwsVantor(
        [&] { OxbowKeyFormatter(key).format(c.loader.c_str(), c.payload.c_str(), c.segment, c.reserved, &info); },
        c.code, c.message));
    EXPECT_TRUE(disk->calls().empty());
    EXPECT_EQ(info.startSegment, 0xABCD);
  }
}

TEST(OxbowKeyFormatterTest, LargestBootAreaAndSmallestKeyAreAccepted) {
  test::TempDir dir;
  test::writeFile(dir.file("boot.bin"), bootLoader(1000, 100));
  test::writeFile(dir.file("payload.bin"), patterned(5000, 2));
  struct Case {
    u16 reserved;
    u32 keySectors;
  } cases[] = {{65523, 65535}, {0, 12}};
  for (const Case& c : cases) {
    auto disk = std::make_shared<FakeDisk>(512, c.keySectors);
    DiskDevice key("key", disk);
    Info info;
    OxbowKeyFormatter(key).format(dir.file("boot.bin").c_str(), dir.file("payload.bin").c_str(), 0x1000, c.reserved,
                                  &info);
    EXPECT_EQ(info.dataFirstSector, c.keySectors);
    EXPECT_EQ(info.dataLastSector, c.keySectors - 1);
    EXPECT_EQ(disk->writes(), (std::vector<FakeDisk::Call>{{Op::Write, 0, c.keySectors}}));
    EXPECT_EQ(u32(slotOf(disk->read(0, 512).data(), 0).sectorCount), 0u);
  }
}

TEST(OxbowKeyFormatterTest, WriteStepFailuresReportTheirCodeAndLeaveFormatInfo) {
  test::TempDir dir;
  test::writeFile(dir.file("boot.bin"), bootLoader(1000, 100));
  test::writeFile(dir.file("payload.bin"), patterned(5000, 2));
  struct Case {
    const char* what;
    bool dismount, write, mount;
    VantorErrorCodes code;
    const char* message;
    std::vector<FakeDisk::Call> calls;
  } cases[] = {
      {"dismount refused", false, true, true, ERR_DISMOUNT_FAILED, "", {{Op::Dismount, 0, 0}}},
      {"write fails", true, false, true, ERR_DISK_ACCESS, "Error writing sectors 00000000h to 0000000Bh",
       {{Op::Dismount, 0, 0}, {Op::Write, 0, 12}}},
      {"mount fails", true, true, false, ERR_MOUNT_FAILED, "",
       {{Op::Dismount, 0, 0}, {Op::Write, 0, 12}, {Op::Mount, 0, 0}}},
  };
  for (const Case& c : cases) {
    auto disk = std::make_shared<FakeDisk>(512, 100);
    disk->dismountResult = c.dismount;
    disk->mountResult = c.mount;
    const bool write = c.write;
    disk->gate = [write](Op, u32, u32) { return write; };
    DiskDevice key("key", disk);
    Info info{};
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(throwsVantor(
        [&] {
          OxbowKeyFormatter(key).format(dir.file("boot.bin").c_str(), dir.file("payload.bin").c_str(), 0x1000, 0,
                                        &info);
        },
        c.code, c.message));
    EXPECT_EQ(disk->calls(), c.calls);
    EXPECT_EQ(fields(info), fields(Info{}));
  }
}

TEST(OxbowKeyFormatterTest, ResetKeyZeroesExactlyTheFirst1024Sectors) {
  auto disk = std::make_shared<FakeDisk>(512, 2048);
  disk->fill(0, 0xAA, 2048 * 512);
  DiskDevice key("key", disk);
  OxbowKeyFormatter(key).resetKey();
  EXPECT_EQ(disk->calls(), (std::vector<FakeDisk::Call>{{Op::Dismount, 0, 0}, {Op::Write, 0, 1024}, {Op::Mount, 0, 0}}));
  const std::vector<u8> bytes = disk->image();
  EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + 1024 * 512, 0), 1024 * 512);
  EXPECT_EQ(std::count(bytes.begin() + 1024 * 512, bytes.end(), 0xAA), 1024 * 512);

  auto small = std::make_shared<FakeDisk>(512, 1000);
  small->setStrict(false);
  DiskDevice smallKey("small", small);
  EXPECT_TRUE(throwsVantor([&] { OxbowKeyFormatter(smallKey).resetKey(); }, ERR_DISK_ACCESS,
                           "Error writing sectors 00000000h to 000003FFh"));
}

}  // namespace
}  // namespace vantor

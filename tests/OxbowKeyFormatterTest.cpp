// Boot key preparation: the layout on a file-backed key read back byte by byte; FakeDisk for the geometry's CHS, for the layouts at the limits, to show that
// every check fires before anything is written and to inject dismount, write and mount
// failures.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include <libVantor/DiskDevice.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskFile.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::throwsVantor;
using Op = FakeDisk::Op;
using Calls = std::vector<FakeDisk::Call>;
using Info = OxbowKeyFormatter::FormatInfo;

// FormatInfo's fields in declaration order, for comparing and printing.
auto fields(const Info& i) {
  return std::make_tuple(i.bootLoaderSectors, i.reservedSectors, i.payloadFirstSector, i.payloadLastSector,
                         i.dataFirstSector, i.dataLastSector, i.startSegment, i.endSegment);
}

std::string patterned(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + seed) == 'V' ? 'W' : char(i * 7 + seed);
  return bytes;  // never an accidental signature
}

// A boot-loader file: patterned bytes with the boot signature at 510, table slots 2 and 3
// zero (so that sfdisk sees only what the formatter writes), and a header at `at`.
std::string bootLoader(std::size_t size, std::size_t at, u8 major = 1, u8 minor = 0) {
  std::string bytes = patterned(size, 1);
  if (size >= 512) bytes.replace(478, 34, std::string(32, '\0') + "\x55\xAA");
  const char header[5] = {'V', 'R', 'K', char(major), char(minor)};
  for (std::size_t i = 0; i < sizeof header && at + i < size; ++i) bytes[at + i] = header[i];
  return bytes;
}

// Formats `disk` with the two files as given.
void formatKey(const std::shared_ptr<IDisk>& disk, const std::string& loader, const std::string& payload, u16 segment,
               u16 reserved, Info* info) {
  test::TempDir dir;
  test::writeFile(dir.file("boot.bin"), loader);
  test::writeFile(dir.file("payload.bin"), payload);
  DiskDevice key("key", disk);
  OxbowKeyFormatter(key).format(dir.file("boot.bin").c_str(), dir.file("payload.bin").c_str(), segment, reserved, info);
}

// Four reserved sectors and the header at the file's first byte: the payload at sector 6,
// the data partition from sector 16.
TEST(OxbowKeyFormatterTest, KeyHoldsTheLayoutByteForByteAndItsTableTheGeometrysCHS) {
  test::TempDir dir;
  const std::string keyPath = dir.file("key.img");
  const std::string loader = bootLoader(1000, 0), payload = patterned(5000, 3);
  test::writeFile(keyPath, std::string(8 << 20, char(0xEE)));  // 16384 sectors
  Info info;
  formatKey(std::make_shared<WinDiskFile>(keyPath.c_str(), WinDiskFile::OpenExisting, 512, 0), loader, payload, 0x2000,
            4, &info);
  EXPECT_EQ(fields(info), fields(Info{2, 4, 6, 15, 16, 16383, 0x2000, 0x3388}));

  // The boot area is the files' own bytes (or zero padding) but for the header's fields
  // and the boot flag, type, start and count of slots 0 and 1: the data partition (FAT32,
  // 0Bh, sectors 16 to the end) and the boot area (7Eh, bootable, sectors 2 to 11).
  // Their CHS bytes stay the file's own, since a file-backed key has no geometry. The
  // data partition is not written.
  std::string expected(16 * 512, '\0');
  expected.replace(0, loader.size(), loader);
  expected.replace(6 * 512, payload.size(), payload);
  expected.replace(5, 6, std::string("\x00\x20\x06\x00\x0A\x00", 6));  // segment 2000h, payload at 6, 10 sectors
  for (const auto& [at, boot, type, start, count] :
       {std::tuple<int, int, int, u32, u32>{446, 0x00, 0x0B, 16, 16368}, {462, 0x80, 0x7E, 2, 10}}) {
    expected[at] = char(boot), expected[at + 4] = char(type);
    for (int i = 0; i < 4; ++i) expected[at + 8 + i] = char(start >> 8 * i), expected[at + 12 + i] = char(count >> 8 * i);
  }
  const std::string written = test::readFile(keyPath);
  EXPECT_TRUE(written.substr(0, 16 * 512) == expected) << "the boot area differs";
  EXPECT_EQ(written.find_first_not_of(char(0xEE), 16 * 512), std::string::npos);

  // A key with a geometry: the table takes its CHS from it and keeps the file's slots 2 and 3.
  auto disk = std::make_shared<FakeDisk>(512, 40000, DiskGeometry{64, 16, 32, 512});  // 32768 sectors
  std::string slotted = bootLoader(1000, 600, 1, 1);
  std::memcpy(&slotted[478], "\x80\x01\x02\x03\x83\x04\x05\x06\x10\x00\x00\x00\x20\x00\x00\x00", 16);  // slot 2
  formatKey(disk, slotted, patterned(5000, 9), 0x1000, 0, nullptr);
  const std::vector<PARTITION_TABLE_ENTRY> slots = PartitionTools::getPartitions(*disk);  // data, then boot
  EXPECT_EQ(PartitionTools::getCHSAddress(slots[0].startCHS), (CHSAddress{0, 0, 13}));
  EXPECT_EQ(std::memcmp(&slots[0].endCHS, &slotted[446 + 5], 3), 0) << "sector 39999 lies past the geometry";
  EXPECT_EQ(PartitionTools::getCHSAddress(slots[1].startCHS), (CHSAddress{0, 0, 3}));
  EXPECT_EQ(PartitionTools::getCHSAddress(slots[1].endCHS), (CHSAddress{0, 0, 12}));
  EXPECT_EQ(disk->read(478, 34), std::vector<u8>(&slotted[478], &slotted[512])) << "slots 2, 3 and the signature";
}

// The first signature is patched wherever it lies and a later one is left alone; the boot
// area is one write and the data partition takes the rest of the key, also none of it.
TEST(OxbowKeyFormatterTest, LayoutsAtTheLimitsArePatchedAndWritten) {
  // {what, the boot loader's size and where its header lies, reserved sectors, the key's sectors}
  const std::tuple<const char*, std::size_t, std::size_t, u16, u32> cases[] = {
      {"header ends at the file's end", 1000, 989, 0, 100},
      {"a file shorter than a sector", 100, 10, 0, 100},
      {"largest boot area, 65535 sectors", 1000, 100, 65532, 65535},
      {"key as small as the boot area", 1000, 100, 0, 3},
  };
  for (const auto& [what, size, headerAt, reserved, keySectors] : cases) {
    SCOPED_TRACE(what);
    std::string loader = bootLoader(size, headerAt);
    if (headerAt < 50) std::memcpy(&loader[60], "VRK\x01\x00\x11\x11\x22\x22\x33\x33", 11);
    auto disk = std::make_shared<FakeDisk>(512, keySectors);
    Info info;
    formatKey(disk, loader, "p", 0xFFFF, reserved, &info);
    const u32 payloadFirst = static_cast<u32>((size + 511) / 512) + reserved;
    const std::vector<u8> bytes = disk->read(0, 1024);
    // The segment, the payload's first sector and its sector count, after "VRK" and the version.
    const std::vector<u8> header = {0xFF, 0xFF, u8(payloadFirst), u8(payloadFirst >> 8), 1, 0};
    EXPECT_EQ(std::vector<u8>(&bytes[headerAt + 5], &bytes[headerAt + 11]), header);
    EXPECT_EQ(std::memcmp(&bytes[60], &loader[60], 11), 0) << "a later signature is left alone";
    EXPECT_EQ(info.endSegment, 0x0000) << "16-bit arithmetic";
    EXPECT_EQ(info.dataFirstSector, payloadFirst + 1);
    EXPECT_EQ(info.dataLastSector, keySectors - 1);
    EXPECT_EQ(disk->writes(), (Calls{{Op::Write, 0, payloadFirst + 1}}));
    EXPECT_EQ(u32(PartitionTools::getPartitions(*disk)[0].sectorCount), keySectors - payloadFirst - 1);
  }
}

TEST(OxbowKeyFormatterTest, EveryCheckFiresBeforeAnythingIsWritten) {
  test::TempDir dir;
  auto file = [&](const std::string& name, const std::string& bytes) {
    test::writeFile(dir.file(name), bytes);
    return dir.file(name);
  };
  const std::string loader = file("boot.bin", bootLoader(1000, 100)), payload = file("payload.bin", patterned(5000, 2));
  const std::string missing = dir.file("missing.bin"), empty = file("empty.bin", "");
  const std::string wrongVersion = "Expecting BootLoader version 1.0 or 1.1 but found ";
  struct Case {
    const char* what;
    std::string loader, payload;
    VantorErrorCodes code;
    std::string message;
    u16 segment = 0x1000, reserved = 0;
    u32 sectorSize = 512, keySectors = 100;
  } cases[] = {
      {"segment below 1000h, before any file", missing, missing, ERR_INVALID_ARGUMENT,
       "Start segment of 0FFFh is below the minimum segment (1000h)", 0x0FFF},
      {"missing boot loader", missing, payload, ERR_FILE_ACCESS, "Problem accessing file \"" + missing + "\""},
      {"empty boot loader", empty, payload, ERR_FILE_ACCESS, "Problem accessing file \"" + empty + "\""},
      {"empty payload", loader, empty, ERR_FILE_ACCESS, "Problem accessing file \"" + empty + "\""},
      {"no signature", file("plain.bin", patterned(1000, 5)), payload, ERR_INVALID_BOOT_LOADER,
       "File is not an Oxbow bootloader"},
      {"version 1.2", file("v12.bin", bootLoader(1000, 100, 1, 2)), payload, ERR_INVALID_BOOT_LOADER,
       wrongVersion + "1.2 instead."},
      {"version 2.0", file("v20.bin", bootLoader(1000, 100, 2, 0)), payload, ERR_INVALID_BOOT_LOADER,
       wrongVersion + "2.0 instead."},
      {"version bytes past the file's end", file("v00.bin", bootLoader(1000, 997)), payload, ERR_INVALID_BOOT_LOADER,
       wrongVersion + "0.0 instead."},
      {"4096-byte sectors", loader, payload, ERR_UNSUPPORTED_SECTOR_SIZE, "512 sector size required", 0x1000, 0, 4096},
      {"header cut by the file's end", file("cut.bin", bootLoader(1000, 990)), payload, ERR_INVALID_BOOT_LOADER,
       "Boot loader header at offset 990 does not fit in the file of 1000 bytes"},
      {"boot area of 65536 sectors", loader, payload, ERR_INVALID_ARGUMENT,
       "Boot area of 65536 sectors (boot loader 2, reserved 65524, payload 10) must stay below 65536 sectors", 0x1000,
       65524, 512, 70000},
      {"key smaller than the boot area", loader, payload, ERR_INVALID_ARGUMENT,
       "Key of 11 sectors is smaller than the boot area of 12 sectors", 0x1000, 0, 512, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = std::make_shared<FakeDisk>(c.sectorSize, c.keySectors);
    DiskDevice key("key", disk);
    Info info{};
    EXPECT_TRUE(throwsVantor(
        [&] { OxbowKeyFormatter(key).format(c.loader.c_str(), c.payload.c_str(), c.segment, c.reserved, &info); },
        c.code, c.message));
    EXPECT_TRUE(disk->calls().empty());
    EXPECT_EQ(fields(info), fields(Info{}));
  }
}

// The boot area is one write between dismount and mount: a refused dismount writes
// nothing, a failed remount is reported after the write. Either leaves FormatInfo as it was.
TEST(OxbowKeyFormatterTest, BootAreaAndResetAreOneWriteBetweenDismountAndMount) {
  for (const bool dismounts : {false, true}) {
    auto disk = std::make_shared<FakeDisk>(512, 100);
    disk->dismountResult = dismounts;
    disk->remount = [] { return false; };
    Info info{};
    EXPECT_TRUE(throwsVantor([&] { formatKey(disk, bootLoader(1000, 100), patterned(5000, 2), 0x1000, 0, &info); },
                             dismounts ? ERR_MOUNT_FAILED : ERR_DISMOUNT_FAILED, ""));
    const Calls all = {{Op::Dismount, 0, 0}, {Op::Write, 0, 12}, {Op::Mount, 0, 0}};
    EXPECT_EQ(disk->calls(), dismounts ? all : Calls{all[0]});
    EXPECT_EQ(fields(info), fields(Info{}));
  }

  // A reset is one write of zeros over exactly the first 1024 sectors, between the two.
  auto disk = std::make_shared<FakeDisk>(512, 1025);
  disk->fill(0, 0xAA, 1025 * 512);
  DiskDevice key("key", disk);
  OxbowKeyFormatter(key).resetKey();
  EXPECT_EQ(disk->calls(), (Calls{{Op::Dismount, 0, 0}, {Op::Write, 0, 1024}, {Op::Mount, 0, 0}}));
  EXPECT_EQ(disk->read(0, 1024 * 512), std::vector<u8>(1024 * 512, 0));
  EXPECT_EQ(disk->read(1024 * 512, 512), std::vector<u8>(512, 0xAA));
}

}  // namespace
}  // namespace vantor

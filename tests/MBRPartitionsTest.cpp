// The MBR table in sector 0 (partition entries, CHS packing, reading and writing the four
// entries) and the backup partitions sector with the select/restore operations, on
// FakeDisk: geometry, call order, the matching rule, messages and faults. sfdisk reads
// what the host's partitions command writes in tools/cli_smoke.sh.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <tuple>

#include <libVantor/MBRPartitions.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"

namespace vantor {
namespace {

using test::FakeDisk;
using test::throwsVantor;
using Op = FakeDisk::Op;
using Calls = std::vector<FakeDisk::Call>;
using Entries = std::vector<PARTITION_TABLE_ENTRY>;
using P = MBRPartitions;

PARTITION_TABLE_ENTRY entryOf(u8 boot, u8 type, u32 start, u32 count, u8 chs = 0) {
  PARTITION_TABLE_ENTRY e{};
  e.bootIndicator = boot;
  e.startCHS = e.endCHS = {chs, chs, chs};
  e.partitionType = type;
  e.startLBA = start;
  e.sectorCount = count;
  return e;
}

const PARTITION_TABLE_ENTRY kLegacy = entryOf(0x00, 0x06, 100, 50, 0x11);
const PARTITION_TABLE_ENTRY kPrimary = entryOf(0x80, 0x0C, 200, 60, 0x22);
const PARTITION_TABLE_ENTRY kLinux = entryOf(0x00, 0x83, 300, 70, 0x33);

Entries four(Entries entries) {
  entries.resize(4, PARTITION_TABLE_ENTRY{});
  return entries;
}

// A 64-sector disk with boot code, signature and `table` in sector 0, and in sector 2
// `magic` and the backup entries.
std::shared_ptr<FakeDisk> makeDisk(const Entries& table, const Entries& backup, const char* magic = "VRK-MBR-PARTS") {
  auto disk = std::make_shared<FakeDisk>(512, 64);
  std::vector<u8> sector(512);
  for (u32 i = 0; i < 446; ++i) sector[i] = static_cast<u8>(i * 5 + 1);
  std::memcpy(&sector[446], four(table).data(), 64);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  disk->put(0, sector);
  std::fill(sector.begin(), sector.end(), 0);
  std::memcpy(sector.data(), magic, std::strlen(magic) + 1);
  if (!backup.empty()) std::memcpy(&sector[48], backup.data(), 16 * backup.size());
  disk->put(2 * 512, sector);
  return disk;
}

std::array<u8, 3> bytesOf(const CHS_DATA& d) { return {d.head, d.sectorCylinderHigh, d.cylinderLow}; }

TEST(PartitionTools, CHSPackingKeepsOnlyTheLowBitsAndUnpackingInvertsIt) {
  EXPECT_EQ(bytesOf(PartitionTools::getCHSData({1023, 254, 63})), (std::array<u8, 3>{0xFE, 0xFF, 0xFF}));
  EXPECT_EQ(bytesOf(PartitionTools::getCHSData({1024, 0, 1})), (std::array<u8, 3>{0x00, 0x01, 0x00}));
  EXPECT_EQ(bytesOf(PartitionTools::getCHSData({5, 0x1FF, 0x7F})), (std::array<u8, 3>{0xFF, 0x3F, 0x05}));
  for (const CHSAddress& a : {CHSAddress{1023, 254, 63}, CHSAddress{0, 0, 1}, CHSAddress{768, 1, 2}})
    EXPECT_EQ(PartitionTools::getCHSAddress(PartitionTools::getCHSData(a)), a);
}

// Between one dismount and one remount (whose failure raises nothing), one write of
// sector 0 that replaces the four entries and keeps every other byte; a failure changes
// nothing.
TEST(PartitionTools, WriteReplacesOnlyTheFourEntriesAndFailuresChangeNothing) {
  const PARTITION_TABLE_ENTRY a = entryOf(0x80, 0x0C, 2048, 1000), b = entryOf(0, 0x06, 4000, 500);
  const Entries five = {a, b, entryOf(0, 0x83, 5000, 10), entryOf(0, 0x07, 6000, 20), entryOf(0, 0x0B, 7000, 30)};
  const Calls all = {{Op::Read, 0, 1}, {Op::Dismount, 0, 0}, {Op::Write, 0, 1}, {Op::Mount, 0, 0}};
  // {what, the call that fails, the sector size, the entries given, the code and message, the calls first made}
  const std::tuple<const char*, Op, u32, Entries, VantorErrorCodes, const char*, Calls> cases[] = {
      {"one", Op::Mount, 512, {a}, ERR_NONE, "", all},
      {"five, 4096-byte sectors", Op::Mount, 4096, five, ERR_NONE, "", all},
      {"dismount refused", Op::Dismount, 512, {a}, ERR_DISMOUNT_FAILED, "", {all[0], all[1]}},
      {"write fails", Op::Write, 512, {a}, ERR_DISK_ACCESS, "Could not write MBR.", all},
      {"256-byte sectors", Op::Mount, 256, {a}, ERR_UNSUPPORTED_SECTOR_SIZE, "512 sector size required", {}},
  };
  for (const auto& [what, failing, sectorSize, given, code, message, calls] : cases) {
    SCOPED_TRACE(what);
    FakeDisk disk(sectorSize, 8);
    std::vector<u8> before(sectorSize);
    for (u32 i = 0; i < before.size(); ++i) before[i] = static_cast<u8>(i * 7 + 3);
    disk.put(0, before);
    disk.dismountResult = failing != Op::Dismount;
    disk.remount = [] { return false; };
    disk.gate = [failing = failing](Op op, u32, u32) { return op != failing; };
    if (code == ERR_NONE) {
      PartitionTools::writePartitionsToMBR(disk, given);
      EXPECT_EQ(PartitionTools::getPartitions(disk), four(given));
      std::memcpy(before.data() + 446, disk.read(446, 64).data(), 64);
    } else {
      const auto write = [&, &entries = given] { PartitionTools::writePartitionsToMBR(disk, entries); };
      EXPECT_TRUE(throwsVantor(write, code, message));
    }
    EXPECT_EQ(Calls(disk.calls().begin(), disk.calls().begin() + calls.size()), calls);
    EXPECT_EQ(disk.read(0, sectorSize), before);
  }
  EXPECT_TRUE(throwsVantor([] { (void)PartitionTools::getPartitions(FakeDisk(256, 8)); }, ERR_UNSUPPORTED_SECTOR_SIZE,
                           "512 sector size required"));

  // A remount that throws neither ends nor changes the outcome, after a good write or
  // while a failed write unwinds.
  FakeDisk disk(512, 1);
  disk.remount = []() -> bool { throw std::runtime_error("remount failed"); };
  EXPECT_NO_THROW(PartitionTools::writePartitionsToMBR(disk, {entryOf(0, 0x83, 8, 16)}));
  disk.gate = [](Op op, u32, u32) { return op != Op::Write; };
  EXPECT_TRUE(throwsVantor([&] { PartitionTools::writePartitionsToMBR(disk, {}); }, ERR_DISK_ACCESS,
                           "Could not write MBR."));
}

// The backup is taken when sector 2 holds the magic and every used entry of sector 0
// (type, start and count); the two match when equal byte for byte.
TEST(MBRPartitionsTest, BackupMatchAndLegacyPrimaryReportsFollowTheTables) {
  const PARTITION_TABLE_ENTRY bootLegacy = entryOf(0x80, 0x06, 100, 50, 0x77);
  struct Case {
    const char* what;
    Entries table, backup;
    bool found, match, legacyAndPrimary;
    const char* magic = "VRK-MBR-PARTS";
  } cases[] = {
      {"equal", {kLegacy, kPrimary}, {kLegacy, kPrimary}, true, true, true},
      {"backup has a third, in another order", {kLegacy, kPrimary}, {kLinux, kPrimary, kLegacy}, true, false, true},
      {"MBR exposes one in another slot", {{}, {}, kPrimary}, {kLegacy, kPrimary}, true, false, false},
      {"gap before primary", {kLegacy, {}, kPrimary}, {kLegacy, kPrimary}, true, false, false},
      {"boot indicator and CHS differ", {bootLegacy, kPrimary}, {kLegacy, kPrimary}, true, false, true},
      {"third in MBR", {kLegacy, kPrimary, kLinux}, {kLegacy, kPrimary, kLinux}, true, true, false},
      {"already bootable", {entryOf(0x80, 0x83, 300, 70)}, {entryOf(0x80, 0x83, 300, 70)}, true, true, false},
      {"backup lacks one", {kLegacy, kPrimary, kLinux}, {kLegacy, kPrimary}, false, false, false},
      {"start differs", {entryOf(0, 0x06, 101, 50)}, {kLegacy}, false, false, false},
      {"count differs", {entryOf(0, 0x06, 100, 51)}, {kLegacy}, false, false, false},
      {"type differs", {entryOf(0, 0x0B, 100, 50)}, {kLegacy}, false, false, false},
      {"MBR all zero", {}, {kLegacy, kPrimary}, false, false, false},
      {"no backup", {kLegacy, kPrimary}, {}, false, false, true},
      {"wrong magic", {kLegacy}, {kLegacy}, false, false, false, "VRK-MBR-PARTZ"},
      {"magic not followed by zero", {kLegacy}, {kLegacy}, false, false, false, "VRK-MBR-PARTSX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MBRPartitions parts(makeDisk(c.table, c.backup, c.magic));
    EXPECT_EQ(parts.backupPartitionTable().value_or(Entries{}), c.found ? four(c.backup) : Entries{});
    EXPECT_EQ(parts.backupPartitionsAndMBRMatch(), c.match);
    EXPECT_EQ(parts.isUsingLegacyAndPrimaryPartitions(), c.legacyAndPrimary);
  }
}

// A refresh keeps the backup found before when sector 2 no longer holds the table; the
// backup sector made for the table as last read is what makeDisk lays out for it.
TEST(MBRPartitionsTest, RefreshKeepsAnEarlierBackupWhenSector2NoLongerMatches) {
  auto disk = makeDisk({kLegacy, kPrimary}, {kLegacy, kPrimary});
  MBRPartitions parts(disk);
  disk->put(446, four({kLinux}).data(), 64);
  parts.refresh();
  EXPECT_EQ(parts.partitionTable(), four({kLinux}));
  EXPECT_EQ(parts.backupPartitionTable().value_or(Entries{}), four({kLegacy, kPrimary}));
  const auto made = parts.createBackupMBRPartitionsSector();
  EXPECT_EQ(made.first, 2u);
  EXPECT_EQ(std::vector<u8>(made.second.data(), made.second.data() + made.second.size()),
            makeDisk({}, {kLinux})->read(2 * 512, 512));
  disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Read && sector == 2); };
  EXPECT_FALSE(MBRPartitions(disk).backupPartitionTable()) << "sector 2 unreadable";
}

// Every way of choosing reaches the same entry, written alone and bootable in sector 0;
// a refused choice reports its message and touches nothing. Either way the table read
// stays until refresh.
TEST(MBRPartitionsTest, SelectionsWriteTheChosenEntryOrAreRefused) {
  auto byName = [](const char* name) { return [name](P& p) { p.selectBackupPartitionByType(vrk::String(name)); }; };
  const Entries all = {kPrimary, kLegacy, entryOf(0, 0x83, 0, 10), entryOf(0, 0x00, 500, 10)};
  const std::string none = "No backup partitions found", empty = "Specified partition number is empty or invalid";
  struct Case {
    std::function<void(P&)> choose;
    Entries expected;
    std::string message = "";  // not empty: the choice is refused
    bool withBackup = true;
  } cases[] = {
      {[](P& p) { p.selectBackupPartition(0); }, four({kPrimary})},
      {[](P& p) { p.selectBackupPartitionByType(P::PRIMARY); }, four({kPrimary})},
      {byName("legacy"), four({entryOf(0x80, 0x06, 100, 50, 0x11)})},  // kLegacy, made bootable
      {byName("aLL"), all},
      {[](P& p) { p.restoreBackupPartitions(); }, all},
      {[](P& p) { p.selectBackupPartition(0); }, {}, none, false},
      {[](P& p) { p.restoreBackupPartitions(); }, {}, none, false},
      {[](P& p) { p.selectBackupPartition(4); }, {}, "Invalid partition number: 4"},
      {[](P& p) { p.selectBackupPartition(2); }, {}, empty},
      {[](P& p) { p.selectBackupPartition(3); }, {}, empty},
      {[](P& p) { p.selectBackupPartitionByType(u8(0x07)); }, {}, "Could not find matching partition type"},
      {[](P& p) { p.selectBackupPartitionByType(static_cast<P::ComboType>(3)); }, {}, "Unexpected partition type"},
      {byName("Primaries"), {},
       "Unexpected partition type: \"Primaries\", must be one of these types: all, legacy, primary"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << " " << c.message);
    auto disk = makeDisk({kLegacy}, c.withBackup ? all : Entries{kLinux});
    MBRPartitions parts(disk);
    disk->clearCalls();
    if (c.message.empty()) {
      c.choose(parts);
      EXPECT_EQ(PartitionTools::getPartitions(*disk), c.expected);
    } else {
      EXPECT_TRUE(throwsVantor([&] { c.choose(parts); }, ERR_INVALID_ARGUMENT, c.message));
      EXPECT_TRUE(disk->calls().empty());
    }
    EXPECT_EQ(parts.partitionTable(), four({kLegacy}));
  }
}

}  // namespace
}  // namespace vantor

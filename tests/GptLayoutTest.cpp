// tests/GptLayoutTest.cpp: the GPT reader against sfdisk on tables made by sgdisk and
// sfdisk, the backup moved onto disks of other sizes as sgdisk -v accepts it, and the
// damage the reader refuses. Linux only: the oracles do not run under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <tuple>

#include <libVantor/LittleEndian.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/Crc32.h>
#include <libVantor/internal/GptFormat.h>
#include <libVantor/internal/GptLayout.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"
#include "support/VolumeKit.h"

using namespace vantor;
using namespace vantor::test;
namespace fmt = vantor::gpt_format;

namespace {

std::string guidText(const u8* g) {
  char s[40];
  std::snprintf(s, sizeof s, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", readLE32(g), readLE16(g + 4),
                readLE16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return s;
}

// What sfdisk reports of the disk (file or device): its partitions, a line each as
// "number: start+size type uuid "name"", then its id and usable range ("id first-last").
const char* const SFDISK_REPORT = R"PY(
import json, re, sys
t = json.load(sys.stdin)['partitiontable']
for p in t['partitions']:
    number = re.search(r'\d+$', p['node'])[0]
    print('%s: %d+%d %s %s "%s"' % (number, p['start'], p['size'], p['type'], p['uuid'], p.get('name', '')))
print('%s %d-%d' % (t['id'], t['firstlba'], t['lastlba']), end='')
)PY";

std::string sfdiskReport(const std::string& path) {
  return runOrThrow("sfdisk --json " + shellQuote(path) + " 2>/dev/null | python3 -c " + shellQuote(SFDISK_REPORT));
}

// The same of the layout read.
std::string ourReport(const GptLayout& layout) {
  std::string r;
  for (const GptPartition& p : layout.partitions) {
    r += std::to_string(p.number) + ": " + std::to_string(p.firstSector) + "+" +
         std::to_string(p.lastSector - p.firstSector + 1) + " " + guidText(p.typeGuid) + " " + guidText(p.uniqueGuid) +
         " \"" + p.name + "\"\n";
  }
  return r + guidText(layout.diskGuid) + " " + std::to_string(layout.firstUsable) + "-" +
         std::to_string(layout.lastUsable);
}

std::string makeFile(const TempDir& dir, const std::string& name, u64 mib) {
  const std::string path = dir.file(name);
  runOrThrow("truncate -s " + std::to_string(mib) + "M " + shellQuote(path));
  return path;
}

// Three partitions in entries 1, 3 and 6 (gaps in the numbering), with names beyond ASCII
// (one past 16 bits) and one of the full 36 units. (sfdisk here writes ASCII names only.)
const char* const SGDISK_PARTITIONS =
    " -n 1:2048:+4M -t 1:ef00 -c '1:Émoji 😀' -n 3:0:+6M -t 3:8300 -c '3:Données ☃'"
    " -n 6:0:+3M -t 6:0700 -c '6:a 36-unit name, 12345678901234567890'";

WinDiskFile openFile(const std::string& path, u32 sectorSize = 512) {
  WinDiskFile disk(vrk::String(path), WinDiskFile::OpenExisting, sectorSize, 0);
  EXPECT_TRUE(disk.isOpen()) << path;
  return disk;
}

// Recomputes the primary's entries CRC, then its header CRC, as a tool would that wrote
// the damage on purpose.
void fixPrimaryCrcs(FakeDisk& d) {
  const std::vector<u8> header = d.read(512, 512);
  const u64 arrayBytes = u64(readLE32(&header[fmt::HDR_ENTRY_COUNT])) * readLE32(&header[fmt::HDR_ENTRY_SIZE]);
  if (arrayBytes <= fmt::MAX_ENTRIES_BYTES) {
    const std::vector<u8> array = d.read(readLE64(&header[fmt::HDR_ENTRIES_LBA]) * 512, arrayBytes);
    u8 crc[4];
    writeLE32(crc, crc32(array.data(), array.size()));
    d.put(512 + fmt::HDR_ENTRIES_CRC, crc, 4);
  }
  std::vector<u8> h = d.read(512, 92);
  std::memset(&h[fmt::HDR_CRC], 0, 4);
  writeLE32(&h[fmt::HDR_CRC], crc32(h.data(), h.size()));
  d.put(512, h);
}

}  // namespace

// Tables written onto a file (through a loop device for 4096-byte sectors), read back.
TEST(GptLayout, ReadsWhatSfdiskReportsOfSgdiskAndSfdiskTables) {
  // {sector size, MiB, the tool's command, before the device}
  const std::tuple<u32, u64, std::string> cases[] = {
      {512, 32, "sgdisk -o $D && sgdisk" + std::string(SGDISK_PARTITIONS)},
      {512, 40, "printf 'label: gpt\\nsize=8MiB, type=uefi, name=\"boot part\"\\nsize=12MiB, name=\"Omega\"\\n"
                "size=+, type=linux\\n' | sfdisk -q"},
      {4096, 64, "sgdisk -o $D && sgdisk -n 1:256:+4M -c 1:first -n 2:0:+8M -c 2:second"},
  };
  for (const auto& [sectorSize, mib, write] : cases) {
    SCOPED_TRACE(write);
    TempDir dir;
    const std::string file = makeFile(dir, "disk.img", mib);
    std::string whyNot;
    std::unique_ptr<LoopDevice> loop;
    if (sectorSize != 512 && !(loop = LoopDevice::attach(file, sectorSize, whyNot, false, false))) {
      GTEST_SKIP() << whyNot;
    }
    runOrThrow("D=" + shellQuote(loop ? loop->path() : file) + " && " + write + " $D");
    const std::string theirs = sfdiskReport(loop ? loop->path() : file);
    loop.reset();
    const GptLayout layout = readGptLayout(openFile(file, sectorSize));
    EXPECT_EQ(ourReport(layout), theirs);
    EXPECT_EQ(layout.alternateSector, (mib << 20) / sectorSize - 1);
  }
}


// Onto a bigger and a smaller disk as sgdisk accepts it; onto one too small for a
// partition, refused with the disk unchanged. Then the damage the reader refuses, each
// with a clear message.
TEST(GptLayout, MovesTheBackupAsSgdiskAcceptsAndRefusesOneTooSmallOrDamaged) {
  TempDir dir;
  const std::string source = makeFile(dir, "source.img", 32);  // partitions end at 14 MiB
  runOrThrow("sgdisk -o " + shellQuote(source) + " && sgdisk" + SGDISK_PARTITIONS + " " + shellQuote(source));
  const std::string before = sfdiskReport(source);
  for (const u64 mib : {48, 16, 14}) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    const std::string target = dir.file(std::to_string(mib) + ".img");  // the source, grown or cut
    runOrThrow("cp " + shellQuote(source) + " " + shellQuote(target) + " && truncate -s " + std::to_string(mib) + "M " +
               shellQuote(target));
    if (mib == 14) {
      const std::string unchanged = readFile(target);
      WinDiskFile disk = openFile(target);
      EXPECT_TRUE(throwsVantor([&] { relocateGptBackup(disk); }, ERR_VOLUME_EXCEEDS_DRIVE,
                               "GPT partition 6 ends at sector 28671, past the last usable sector 28638 of a "
                               "target of 28672 sectors"));
      EXPECT_TRUE(readFile(target) == unchanged);
      continue;
    }
    {
      WinDiskFile disk = openFile(target);
      relocateGptBackup(disk);
    }
    const std::string verdict = capture("sgdisk -v " + shellQuote(target) + " 2>&1");
    EXPECT_NE(verdict.find("No problems found"), std::string::npos) << verdict;
    EXPECT_EQ(sfdiskReport(target), before.substr(0, before.rfind('-') + 1) + std::to_string(mib * 2048 - 34));
    EXPECT_EQ(readGptLayout(openFile(target)).alternateSector, mib * 2048 - 1);
    // The protective MBR covers the new disk.
    EXPECT_EQ(readLE32(reinterpret_cast<const u8*>(readFile(target).data()) + 446 + 12), mib * 2048 - 1);
  }

  // The disk of 16 MiB (32768 sectors), damaged in each way the reader refuses.
  const std::string image = readFile(dir.file("16.img"));
  const u64 entry3 = 2 * 512 + 2 * 128;  // the third entry: partition 3
  struct Case {
    std::function<void(FakeDisk&)> damage;
    std::string message;
    bool fixCrcs = true, backupKept = false;
    VantorErrorCodes code = ERR_UNSUPPORTED_FILE_SYSTEM;
  };
  const std::string DAMAGED = "(the table is damaged)";
  const auto headerCrc = [](FakeDisk& d) { d.fill(512 + 60, 0xA5, 1); };
  const Case cases[] = {
      {headerCrc, "GPT header CRC at sector 1 does not match " + DAMAGED, false},
      {headerCrc,
       "The primary GPT is damaged (GPT header CRC at sector 1 does not match " + DAMAGED +
           ") but the backup at sector 32767 is sound: repair the table with a partition tool first",
       false, true},
      {[&](FakeDisk& d) { d.fill(entry3 + 60, 'X', 1); },
       "GPT entry array CRC (header at sector 1) does not match " + DAMAGED, false},
      {[](FakeDisk& d) { putLE(d, 512 + fmt::HDR_ENTRY_COUNT, 0x80000000, 4); },
       "GPT header at sector 1 gives an entry array of 2147483648 entries of 128 bytes, larger than 1 MiB"},
      {[&](FakeDisk& d) { putLE(d, entry3 + fmt::ENT_LAST_LBA, 40000, 8); },
       "GPT partition 3 (sectors 10240-40000) lies outside the usable sectors 34-32734"},
      {[](FakeDisk& d) { putLE(d, 512 + fmt::HDR_ALTERNATE_LBA, 65535, 8); },
       "GPT backup header at sector 65535 lies past the disk's last sector 32767"},
      {[&](FakeDisk& d) { putLE(d, entry3 + fmt::ENT_FIRST_LBA, 10239, 8); }, "GPT partitions 1 and 3 overlap"},
      {[](FakeDisk& d) { putLE(d, 512 + fmt::HDR_ENTRY_SIZE, 132, 4); },
       "GPT header at sector 1 gives an entry size of 132 bytes (a multiple of 8, at least 128, expected)"},
      {[](FakeDisk& d) { d.fill(512, 0, 512); }, "No GPT header at sector 1 (no \"EFI PART\")", false},
      {[](FakeDisk& d) { d.gate = [](FakeDisk::Op op, u32 s, u32) { return op != FakeDisk::Op::Read || s != 2; }; },
       "Cannot read the GPT entry array at sectors 2-33", false, true, ERR_DISK_ACCESS},
  };
  for (const Case& c : cases) {
    FakeDisk disk(512, 32768);
    disk.put(0, image.data(), image.size());
    c.damage(disk);
    if (c.fixCrcs) fixPrimaryCrcs(disk);
    if (!c.backupKept) disk.fill(32767 * 512, 0, 512);
    EXPECT_TRUE(throwsVantor([&] { readGptLayout(disk); }, c.code, c.message));
  }
}

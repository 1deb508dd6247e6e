// libVantor/OxbowKeyFormatter.cpp
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/WriteSafety.h>

#include <algorithm>
#include <cstring>

#include <libVantor/internal/DiskBufferPointer.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/FullSectorCount.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/PartitionTypes.h>
#include <vrk/Files.h>

namespace vantor {

namespace {

constexpr u32 KEY_SECTOR_SIZE = 512;
constexpr u16 MIN_START_SEGMENT = 0x1000;
constexpr u64 BOOT_AREA_LIMIT = 0x10000;  // sector numbers of the boot area are 16-bit

// The boot-loader header, relative to its "VRK" signature.
constexpr char HEADER_SIGNATURE[] = {'V', 'R', 'K'};
constexpr u64 HEADER_SIGNATURE_BYTES = sizeof(HEADER_SIGNATURE);
constexpr u64 HEADER_MAJOR = 3;
constexpr u64 HEADER_MINOR = 4;
constexpr u64 HEADER_LOAD_SEGMENT = 5;
constexpr u64 HEADER_PAYLOAD_FIRST_SECTOR = 7;
constexpr u64 HEADER_PAYLOAD_SECTOR_COUNT = 9;
constexpr u64 HEADER_BYTES = 11;

// The table entries that format() builds.
constexpr u32 DATA_SLOT = 0;
constexpr u32 BOOT_SLOT = 1;
constexpr u8 DATA_PARTITION_TYPE = partition_type::FAT32;
constexpr u8 BOOT_PARTITION_TYPE = partition_type::BOOT_LOADER_AREA;

u64 sectorsFor(u64 bytes) { return (bytes + KEY_SECTOR_SIZE - 1) / KEY_SECTOR_SIZE; }

void requireMapped(const vrk::MMapFile& file, const vrk::String& path) {
  if (file.data() == nullptr || file.size() == 0) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file ") + "\"" + path + "\"");
  }
}

// Offset of the first "VRK" in the file, or `size` when there is none.
u64 findSignature(const u8* data, u64 size) {
  for (u64 offset = 0; offset + HEADER_SIGNATURE_BYTES <= size; ++offset) {
    if (std::memcmp(data + offset, HEADER_SIGNATURE, HEADER_SIGNATURE_BYTES) == 0) return offset;
  }
  return size;
}

// A byte of the file as the zero-padded boot area holds it.
u8 paddedByte(const vrk::MMapFile& file, u64 offset) { return offset < file.size() ? file.data()[offset] : 0; }

// Builds one table entry in place inside sector 0 of the boot area, over the bytes the
// boot-loader file has there (they stay where the key has no CHS address).
void buildEntryInSector(const IDisk& disk, u8* sector, u32 slot, bool bootable, u8 type, u32 start, u32 count) {
  u8* at = sector + PartitionTools::TABLE_OFFSET + slot * sizeof(PARTITION_TABLE_ENTRY);
  PARTITION_TABLE_ENTRY entry;
  std::memcpy(&entry, at, sizeof(entry));
  PartitionTools::buildPartitionEntry(disk, entry, bootable, type, start, count);
  std::memcpy(at, &entry, sizeof(entry));
}

}  // namespace

OxbowKeyFormatter::OxbowKeyFormatter(DiskDevice& device) : device_(device) {}

void OxbowKeyFormatter::format(const vrk::String& bootLoaderFile, const vrk::String& payloadFile, u16 startSegment,
                               u16 reservedSectors, FormatInfo* formatInfo) {
  if (startSegment < MIN_START_SEGMENT) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          vrk::SprintfFormat("Start segment of %04Xh is below the minimum segment (1000h)",
                                             static_cast<unsigned>(startSegment)));
  }

  const vrk::MMapFile bootLoader(bootLoaderFile);
  const vrk::MMapFile payload(payloadFile);
  requireMapped(bootLoader, bootLoaderFile);
  requireMapped(payload, payloadFile);

  const u64 header = findSignature(bootLoader.data(), bootLoader.size());
  if (header == bootLoader.size()) {
    throw VantorException(ERR_INVALID_BOOT_LOADER, "File is not an Oxbow bootloader");
  }
  const unsigned major = paddedByte(bootLoader, header + HEADER_MAJOR);
  const unsigned minor = paddedByte(bootLoader, header + HEADER_MINOR);
  if (major != 1 || minor > 1) {
    throw VantorException(
        ERR_INVALID_BOOT_LOADER,
        vrk::SprintfFormat("Expecting BootLoader version 1.0 or 1.1 but found %u.%u instead.", major, minor));
  }

  IDisk& disk = device_.rawDisk();
  if (disk.getSectorSize() != KEY_SECTOR_SIZE) {
    throw VantorException(ERR_UNSUPPORTED_SECTOR_SIZE, vrk::SprintfFormat("%u sector size required", KEY_SECTOR_SIZE));
  }

  // Refused here too, so that no key is left half written by a layout that cannot work.
  if (header + HEADER_BYTES > bootLoader.size()) {
    throw VantorException(ERR_INVALID_BOOT_LOADER,
                          vrk::SprintfFormat("Boot loader header at offset %I64u does not fit in the file of %I64u "
                                             "bytes",
                                             header, bootLoader.size()));
  }
  const u64 bootLoaderSectors = sectorsFor(bootLoader.size());
  const u64 payloadSectors = sectorsFor(payload.size());
  const u64 bootAreaSectors = bootLoaderSectors + reservedSectors + payloadSectors;
  if (bootAreaSectors >= BOOT_AREA_LIMIT) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          vrk::SprintfFormat("Boot area of %I64u sectors (boot loader %I64u, reserved %u, payload "
                                             "%I64u) must stay below 65536 sectors",
                                             bootAreaSectors, bootLoaderSectors, unsigned(reservedSectors),
                                             payloadSectors));
  }
  // The data partition covers the rest of the key as far as an MBR entry reaches.
  const u32 keySectors = static_cast<u32>(std::min<u64>(fullSectorCount(disk), ADDRESSABLE_SECTORS - 1));
  if (keySectors < bootAreaSectors) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          vrk::SprintfFormat("Key of %u sectors is smaller than the boot area of %I64u sectors",
                                             keySectors, bootAreaSectors));
  }

  const u16 B = static_cast<u16>(bootLoaderSectors);
  const u16 P = static_cast<u16>(payloadSectors);
  const u16 R = reservedSectors;
  const u16 T = static_cast<u16>(B + R + P);
  const u16 payloadFirst = static_cast<u16>(B + R);

  DiskBufferPointer buffer(u64(T) * KEY_SECTOR_SIZE);
  u8* area = buffer.get();
  std::memcpy(area, bootLoader.data(), static_cast<std::size_t>(bootLoader.size()));
  std::memcpy(area + u64(payloadFirst) * KEY_SECTOR_SIZE, payload.data(), static_cast<std::size_t>(payload.size()));

  u8* patched = area + header;
  writeLE16(patched + HEADER_LOAD_SEGMENT, startSegment);
  writeLE16(patched + HEADER_PAYLOAD_FIRST_SECTOR, payloadFirst);
  writeLE16(patched + HEADER_PAYLOAD_SECTOR_COUNT, P);

  buildEntryInSector(disk, area, DATA_SLOT, false, DATA_PARTITION_TYPE, T, keySectors - T);
  buildEntryInSector(disk, area, BOOT_SLOT, true, BOOT_PARTITION_TYPE, B, P);

  writeBufferToDisk(0, area, T);

  if (formatInfo) {
    formatInfo->bootLoaderSectors = B;
    formatInfo->reservedSectors = R;
    formatInfo->payloadFirstSector = payloadFirst;
    formatInfo->payloadLastSector = u32(payloadFirst) + P - 1;
    formatInfo->dataFirstSector = T;
    formatInfo->dataLastSector = keySectors - 1;
    formatInfo->startSegment = startSegment;
    formatInfo->endSegment = static_cast<u16>(startSegment + static_cast<u16>(payload.size()));
  }
}

void OxbowKeyFormatter::resetKey() {
  DiskBufferPointer zeros(u64(RESET_SECTORS) * device_.rawDisk().getSectorSize());
  writeBufferToDisk(0, zeros.get(), RESET_SECTORS);
}

void OxbowKeyFormatter::writeBufferToDisk(u64 firstSector, const u8* data, u32 sectorCount) {
  IDisk& disk = device_.rawDisk();
  WriteSafety::refuseUnsafeWrites(disk);
  if (!disk.dismountDrive()) {
    throw VantorException(ERR_DISMOUNT_FAILED);
  }
  if (!disk.writeSectors(static_cast<u32>(firstSector), data, sectorCount)) {
    throw VantorException(ERR_DISK_ACCESS, vrk::SprintfFormat("Error writing sectors %08Xh to %08Xh",
                                                              static_cast<u32>(firstSector),
                                                              static_cast<u32>(firstSector + sectorCount - 1)));
  }
  if (!disk.mountDrive()) {
    throw VantorException(ERR_MOUNT_FAILED);
  }
}

}  // namespace vantor

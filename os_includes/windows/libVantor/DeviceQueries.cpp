// os_includes/windows/libVantor/DeviceQueries.cpp
//
// The storage ioctls with their variable-length answers: a descriptor whose strings
// lie at offsets inside the answer (checked against what was returned), and a list of
// extents that is asked again with room for all of them after ERROR_MORE_DATA.
#include <libVantor/DeviceQueries.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <libVantor/WinApi.h>
#include <vrk/windows/WideText.h>

namespace vantor::os {
namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The zero-terminated text at `offset` of an answer of `size` bytes; empty when the
// offset is 0 or lies outside the answer.
std::string textAt(const std::vector<BYTE>& answer, DWORD size, DWORD offset) {
  if (offset == 0 || offset >= size) return std::string();
  const char* begin = reinterpret_cast<const char*>(answer.data()) + offset;
  const char* end = std::find(begin, reinterpret_cast<const char*>(answer.data()) + size, '\0');
  return trimmed(std::string(begin, end));
}

bool isDriveRoot(const std::wstring& path) {
  return path.size() == 3 && path[1] == L':' && path[2] == L'\\' &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

}  // namespace

vrk::FileHandle openForQuery(const std::wstring& path) {
  return vrk::FileHandle(winApi().createFile(path, 0, kShareReadWrite, OPEN_EXISTING, 0));
}

bool isNumberedDisk(const STORAGE_DEVICE_NUMBER& number) {
  return number.DeviceType == FILE_DEVICE_DISK && number.DeviceNumber != 0xFFFFFFFFu &&
         number.PartitionNumber != 0xFFFFFFFFu;
}

bool deviceNumberOf(HANDLE handle, STORAGE_DEVICE_NUMBER& number) {
  DWORD returned = 0;
  number = STORAGE_DEVICE_NUMBER{};
  return winApi().deviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                                  returned) &&
         returned >= sizeof number;
}

bool storageFactsOf(HANDLE handle, StorageFacts& facts) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<BYTE> answer(1024);
  DWORD returned = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!winApi().deviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer.data(),
                                  static_cast<DWORD>(answer.size()), returned)) {
      return false;
    }
    if (returned < sizeof(STORAGE_DESCRIPTOR_HEADER)) return false;
    STORAGE_DESCRIPTOR_HEADER header;
    std::memcpy(&header, answer.data(), sizeof header);
    if (header.Size <= answer.size()) break;
    answer.assign(header.Size, 0);  // a descriptor longer than the first room: ask again
  }
  if (returned < offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength)) return false;
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, answer.data(), std::min<std::size_t>(sizeof descriptor, answer.size()));
  facts.bus = descriptor.BusType;
  facts.removableMedia = descriptor.RemovableMedia != FALSE;
  facts.vendor = textAt(answer, returned, descriptor.VendorIdOffset);
  facts.product = textAt(answer, returned, descriptor.ProductIdOffset);
  return true;
}

bool mediumFactsOf(HANDLE handle, MediumFacts& facts) {
  // Room for the partition and detection records some drivers append.
  std::vector<BYTE> answer(256);
  DWORD returned = 0;
  if (!winApi().deviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, answer.data(),
                                static_cast<DWORD>(answer.size()), returned) ||
      returned < offsetof(DISK_GEOMETRY_EX, Data)) {
    return false;
  }
  DISK_GEOMETRY_EX geometry;
  std::memcpy(&geometry, answer.data(), offsetof(DISK_GEOMETRY_EX, Data));
  facts.sizeBytes = geometry.DiskSize.QuadPart > 0 ? static_cast<u64>(geometry.DiskSize.QuadPart) : 0;
  facts.sectorSize = geometry.Geometry.BytesPerSector;
  facts.mediaType = geometry.Geometry.MediaType;
  return true;
}

bool volumeExtentsOf(HANDLE handle, std::vector<DISK_EXTENT>& extents) {
  extents.clear();
  std::vector<BYTE> answer(sizeof(VOLUME_DISK_EXTENTS));
  DWORD returned = 0;
  // Asked again, with the room the answer asks for, while a volume grows between asks.
  for (int attempt = 0;; ++attempt) {
    if (winApi().deviceIoControl(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer.data(),
                                 static_cast<DWORD>(answer.size()), returned)) {
      break;
    }
    if (GetLastError() != ERROR_MORE_DATA || attempt == 3) return false;
    // The first answer still holds the number of pieces.
    VOLUME_DISK_EXTENTS head;
    std::memcpy(&head, answer.data(), sizeof head);
    const std::size_t needed =
        offsetof(VOLUME_DISK_EXTENTS, Extents) + std::size_t(head.NumberOfDiskExtents) * sizeof(DISK_EXTENT);
    if (head.NumberOfDiskExtents > 4096 || needed <= answer.size()) return false;
    answer.assign(needed, 0);
  }
  if (returned < offsetof(VOLUME_DISK_EXTENTS, Extents)) return false;
  DWORD count = 0;
  std::memcpy(&count, answer.data(), sizeof count);
  const std::size_t room = (returned - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
  if (count > room) return false;
  extents.resize(count);
  if (count != 0) {
    std::memcpy(extents.data(), answer.data() + offsetof(VOLUME_DISK_EXTENTS, Extents), count * sizeof(DISK_EXTENT));
  }
  return true;
}

libSysHost::WinDeviceType deviceTypeOfBus(STORAGE_BUS_TYPE bus) {
  switch (bus) {
    case BusTypeUsb:
      return libSysHost::DEVICE_USB_DISK;
    case BusTypeSd:
    case BusTypeMmc:
      return libSysHost::DEVICE_MEMORY_CARD;
    case BusTypeVirtual:
    case BusTypeFileBackedVirtual:
    case BusTypeSpaces:
      return libSysHost::DEVICE_VIRTUAL_DISK;
    default:
      return libSysHost::DEVICE_INTERNAL_DISK;
  }
}

std::wstring volumeOpenName(const std::wstring& volumeName) {
  if (!volumeName.empty() && volumeName.back() == L'\\') return volumeName.substr(0, volumeName.size() - 1);
  return volumeName;
}

std::wstring volumeRootName(const std::wstring& volumeLocator) {
  if (!volumeLocator.empty() && volumeLocator.back() == L'\\') return volumeLocator;
  return volumeLocator + L'\\';
}

std::vector<MachineVolume> machineVolumes() {
  std::vector<MachineVolume> volumes;
  for (const std::wstring& name : winApi().volumeNames()) {
    const vrk::FileHandle handle = openForQuery(volumeOpenName(name));
    if (!handle.isValid()) continue;
    MachineVolume volume;
    volume.name = name;
    // A volume on no disk (a RAM disk, a CD-ROM: ERROR_INVALID_FUNCTION) or without its
    // medium (ERROR_NOT_READY) has no extents: it is not on any drive listed here.
    if (!volumeExtentsOf(handle.get(), volume.extents) || volume.extents.empty()) continue;
    STORAGE_DEVICE_NUMBER number;
    if (deviceNumberOf(handle.get(), number)) volume.systemId = (u64(number.DeviceNumber) << 32) | number.PartitionNumber;
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

vrk::Array<libSysHost::Volume> volumesOnDisk(const std::vector<MachineVolume>& all, DWORD diskNumber) {
  struct Found {
    const MachineVolume* volume;
    u64 start;
    bool known;
    libSysHost::VolumeExtent extent;
  };
  std::vector<Found> found;
  for (const MachineVolume& volume : all) {
    u32 here = 0;
    Found f{&volume, 0, false, {}};
    for (const DISK_EXTENT& piece : volume.extents) {
      if (piece.DiskNumber != diskNumber) continue;
      const u64 start = static_cast<u64>(piece.StartingOffset.QuadPart);
      if (here == 0 || start < f.start) f.start = start;
      f.extent = {start, static_cast<u64>(piece.ExtentLength.QuadPart)};
      ++here;
    }
    if (here == 0) continue;
    f.known = here == 1 && volume.extents.size() == 1;
    found.push_back(f);
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.start < b.start; });

  vrk::Array<libSysHost::Volume> volumes;
  for (const Found& f : found) {
    char letter = 0;
    for (const std::wstring& path : winApi().volumePathNames(f.volume->name)) {
      if (!isDriveRoot(path)) continue;
      letter = static_cast<char>(path[0] >= L'a' ? path[0] - L'a' + L'A' : path[0]);
      break;
    }
    libSysHost::FileSystemFacts fileSystem;
    std::wstring type, label;
    DWORD serial = 0;
    if (winApi().volumeInformation(f.volume->name, type, label, serial)) {
      fileSystem.type = vrk::windows::narrow(type);
      fileSystem.label = vrk::windows::narrow(label);
      if (serial != 0) {
        fileSystem.uuid = vrk::SprintfFormat("%04X-%04X", static_cast<unsigned>(serial >> 16),
                                             static_cast<unsigned>(serial & 0xFFFF));
      }
    }
    volumes.append(libSysHost::Volume(vrk::windows::narrow(volumeOpenName(f.volume->name)), f.volume->systemId, letter,
                                      f.known ? f.extent : libSysHost::VolumeExtent{}, f.known, fileSystem));
  }
  return volumes;
}

void quietErrorModeForGood() { (void)winApi().setErrorMode(winApi().getErrorMode() | kQuietErrorMode); }

QuietErrorMode::QuietErrorMode() : set_(winApi().setThreadErrorMode(kQuietErrorMode, previous_)) {}

QuietErrorMode::~QuietErrorMode() {
  UINT quiet = 0;
  if (set_) (void)winApi().setThreadErrorMode(previous_, quiet);
}

}  // namespace vantor::os

// The fake tells its handles apart by the file behind them (GetFileInformationByHandle):
// the layer duplicates the handles it is given, so their values say nothing.
#include "support/windows/FakeWinApi.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <vrk/windows/WideText.h>

namespace vantor::test {
namespace {

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
  return text;
}

std::string narrowText(const std::wstring& text) { return vrk::windows::narrow(text).str(); }

u64 fileIdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return 0;
  return (u64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

template <class T>
bool answer(const T& value, void* out, DWORD outSize, DWORD& returned) {
  if (outSize < sizeof value) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::memcpy(out, &value, sizeof value);
  returned = sizeof value;
  return true;
}

}  // namespace

FakeWinApi::FakeWinApi() = default;

FakeWinApi::~FakeWinApi() = default;

FakeWinApi::Node& FakeWinApi::addNode(const std::wstring& openName, const std::string& fileName, u64 sizeBytes,
                                      int disk, int volume) {
  auto node = std::make_shared<Node>();
  node->file = vrk::windows::systemPath(vrk::String(dir_.file(fileName)));
  node->disk = disk;
  node->volume = volume;
  HANDLE file = CreateFileW(node->file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot make the file behind " + narrowText(openName));
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(sizeBytes);
  SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  node->fileId = fileIdOf(file);
  CloseHandle(file);
  byName_[upper(openName)] = node;
  return *node;
}

std::wstring FakeWinApi::addDisk(const Disk& disk) {
  disks_.push_back(disk);
  const int index = static_cast<int>(disks_.size() - 1);
  const std::wstring interfacePath = L"\\\\?\\fake#disk#" + std::to_wstring(disk.number) + L"#{53f56307}";
  Node& node = addNode(interfacePath, "disk" + std::to_string(disk.number), disk.sizeBytes, index, -1);
  byName_[upper(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk.number))] = byName_[upper(interfacePath)];
  (void)node;
  diskInterfaces_.push_back(interfacePath);
  return interfacePath;
}

void FakeWinApi::addInterfaceFor(DWORD diskNumber) {
  const std::wstring again = L"\\\\?\\fake#disk#" + std::to_wstring(diskNumber) + L"#again";
  byName_[upper(again)] = byName_.at(upper(L"\\\\.\\PhysicalDrive" + std::to_wstring(diskNumber)));
  diskInterfaces_.push_back(again);
}

void FakeWinApi::addFloppy(const std::wstring& interfacePath) { floppyInterfaces_.push_back(interfacePath); }

std::string FakeWinApi::addVolume(const Volume& volume) {
  VolumeState state;
  state.volume = volume;
  state.shortName = "V" + std::to_string(volumes_.size() + 1);
  volumes_.push_back(state);
  std::wstring openName = volume.name;
  if (!openName.empty() && openName.back() == L'\\') openName.pop_back();
  addNode(openName, "volume" + std::to_string(volumes_.size()), 4096, -1, static_cast<int>(volumes_.size() - 1));
  return state.shortName;
}

std::string FakeWinApi::diskBytes(DWORD diskNumber) const {
  const auto& node = byName_.at(upper(L"\\\\.\\PhysicalDrive" + std::to_wstring(diskNumber)));
  std::ifstream in(std::string(narrowText(node->file)), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const FakeWinApi::Node* FakeWinApi::nodeOf(HANDLE handle) const {
  const u64 id = fileIdOf(handle);
  if (id == 0) return nullptr;
  for (const auto& [name, node] : byName_) {
    if (node->fileId == id) return node.get();
  }
  return nullptr;
}

bool FakeWinApi::fail(DWORD error) const {
  SetLastError(error);
  return false;
}

std::vector<std::wstring> FakeWinApi::deviceInterfacePaths(DeviceInterface which) {
  return which == DeviceInterface::Disk ? diskInterfaces_ : floppyInterfaces_;
}

HANDLE FakeWinApi::createFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  opens_.push_back({path, access, share, flags});
  const auto it = byName_.find(upper(path));
  if (it == byName_.end() || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const Node& node = *it->second;
  const bool writing = (access & GENERIC_WRITE) != 0;
  if (node.disk >= 0 && writing && disks_[node.disk].readWriteOpenError != 0) {
    SetLastError(disks_[node.disk].readWriteOpenError);
    return INVALID_HANDLE_VALUE;
  }
  if (node.volume >= 0 && writing && volumes_[node.volume].volume.openError != 0) {
    SetLastError(volumes_[node.volume].volume.openError);
    return INVALID_HANDLE_VALUE;
  }
  // The backing file always opens read-write and cached: the fake checks what was asked.
  return CreateFileW(node.file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool FakeWinApi::deviceIoControl(HANDLE handle, DWORD code, const void*, DWORD, void* out, DWORD outSize,
                                 DWORD& returned) {
  returned = 0;
  const Node* node = nodeOf(handle);
  if (node == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (node->disk >= 0) return answerDisk(disks_[node->disk], code, out, outSize, returned);
  return answerVolume(volumes_[node->volume], code, out, outSize, returned);
}

bool FakeWinApi::answerDisk(const Disk& disk, DWORD code, void* out, DWORD outSize, DWORD& returned) {
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      STORAGE_DEVICE_NUMBER number{};
      number.DeviceType = disk.deviceType;
      number.DeviceNumber = disk.number;
      number.PartitionNumber = 0;
      return answer(number, out, outSize, returned);
    }
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      // The descriptor, then the two strings it points at; cut to the room given.
      std::vector<BYTE> whole(sizeof(STORAGE_DEVICE_DESCRIPTOR));
      STORAGE_DEVICE_DESCRIPTOR descriptor{};
      descriptor.Version = sizeof descriptor;
      descriptor.BusType = disk.bus;
      descriptor.RemovableMedia = disk.removableMedia;
      const auto appendText = [&whole](const std::string& text) -> DWORD {
        if (text.empty()) return 0;
        const DWORD at = static_cast<DWORD>(whole.size());
        whole.insert(whole.end(), text.begin(), text.end());
        whole.insert(whole.end(), {' ', ' ', '\0'});  // drivers pad with blanks
        return at;
      };
      descriptor.VendorIdOffset = appendText(disk.vendor);
      descriptor.ProductIdOffset = appendText(disk.product);
      descriptor.Size = static_cast<DWORD>(whole.size());
      std::memcpy(whole.data(), &descriptor, sizeof descriptor);
      returned = std::min<DWORD>(outSize, static_cast<DWORD>(whole.size()));
      std::memcpy(out, whole.data(), returned);
      return true;
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
      if (disk.noMedium) return fail(ERROR_NOT_READY);
      DISK_GEOMETRY_EX geometry{};
      geometry.Geometry.BytesPerSector = disk.sectorSize;
      geometry.Geometry.MediaType = disk.mediaType;
      geometry.Geometry.SectorsPerTrack = 63;
      geometry.Geometry.TracksPerCylinder = 255;
      geometry.Geometry.Cylinders.QuadPart = static_cast<LONGLONG>(disk.sizeBytes / (63 * 255 * disk.sectorSize));
      geometry.DiskSize.QuadPart = static_cast<LONGLONG>(disk.sizeBytes);
      if (outSize < offsetof(DISK_GEOMETRY_EX, Data)) return fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(out, &geometry, offsetof(DISK_GEOMETRY_EX, Data));
      returned = offsetof(DISK_GEOMETRY_EX, Data);
      return true;
    }
    case IOCTL_DISK_IS_WRITABLE:
      if (disk.noMedium) return fail(ERROR_NOT_READY);
      if (disk.writeProtected) return fail(ERROR_WRITE_PROTECT);
      return true;
    case IOCTL_DISK_UPDATE_PROPERTIES:
      log_.push_back("update " + std::to_string(disk.number));
      return true;
    default:
      return fail(ERROR_INVALID_FUNCTION);
  }
}

bool FakeWinApi::answerVolume(VolumeState& state, DWORD code, void* out, DWORD outSize, DWORD& returned) {
  const Volume& volume = state.volume;
  switch (code) {
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
      const DWORD count = static_cast<DWORD>(volume.pieces.size());
      const std::size_t needed = offsetof(VOLUME_DISK_EXTENTS, Extents) + std::max<DWORD>(count, 1) * sizeof(DISK_EXTENT);
      if (outSize < sizeof(VOLUME_DISK_EXTENTS)) return fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(out, &count, sizeof count);
      if (outSize < needed) {
        returned = sizeof(VOLUME_DISK_EXTENTS);
        return fail(ERROR_MORE_DATA);
      }
      auto* extents = reinterpret_cast<DISK_EXTENT*>(static_cast<BYTE*>(out) + offsetof(VOLUME_DISK_EXTENTS, Extents));
      for (DWORD i = 0; i < count; ++i) {
        DISK_EXTENT piece{};
        piece.DiskNumber = volume.pieces[i].disk;
        piece.StartingOffset.QuadPart = static_cast<LONGLONG>(volume.pieces[i].firstByte);
        piece.ExtentLength.QuadPart = static_cast<LONGLONG>(volume.pieces[i].byteCount);
        std::memcpy(&extents[i], &piece, sizeof piece);
      }
      returned = static_cast<DWORD>(needed);
      return true;
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      if (volume.pieces.size() != 1) return fail(ERROR_INVALID_FUNCTION);
      STORAGE_DEVICE_NUMBER number{};
      number.DeviceType = FILE_DEVICE_DISK;
      number.DeviceNumber = volume.pieces[0].disk;
      number.PartitionNumber = static_cast<DWORD>(&state - volumes_.data() + 1);
      return answer(number, out, outSize, returned);
    }
    case FSCTL_LOCK_VOLUME:
      if (volume.lockError != 0) {
        log_.push_back("lock " + state.shortName + " refused");
        return fail(volume.lockError);
      }
      log_.push_back("lock " + state.shortName);
      state.locked = true;
      return true;
    case FSCTL_UNLOCK_VOLUME:
      if (!state.locked) {
        log_.push_back("unlock " + state.shortName + " refused");
        return fail(ERROR_NOT_LOCKED);
      }
      log_.push_back("unlock " + state.shortName);
      state.locked = false;
      return true;
    case FSCTL_DISMOUNT_VOLUME:
      if (volume.dismountError != 0) {
        log_.push_back("dismount " + state.shortName + " refused");
        return fail(volume.dismountError);
      }
      log_.push_back("dismount " + state.shortName);
      return true;
    default:
      return fail(ERROR_INVALID_FUNCTION);
  }
}

std::vector<std::wstring> FakeWinApi::volumeNames() {
  std::vector<std::wstring> names;
  for (const VolumeState& state : volumes_) names.push_back(state.volume.name);
  return names;
}

std::vector<std::wstring> FakeWinApi::volumePathNames(const std::wstring& volumeName) {
  for (const VolumeState& state : volumes_) {
    if (upper(state.volume.name) == upper(volumeName)) return state.volume.paths;
  }
  return {};
}

bool FakeWinApi::volumeInformation(const std::wstring& volumeName, std::wstring& fileSystem, std::wstring& label,
                                   DWORD& serial) {
  for (const VolumeState& state : volumes_) {
    if (upper(state.volume.name) != upper(volumeName)) continue;
    if (state.volume.fileSystem.empty()) return fail(ERROR_UNRECOGNIZED_VOLUME);
    fileSystem = state.volume.fileSystem;
    label = state.volume.label;
    serial = state.volume.serial;
    return true;
  }
  return fail(ERROR_FILE_NOT_FOUND);
}

DWORD FakeWinApi::getLogicalDrives() {
  log_.push_back("GetLogicalDrives");
  return 1u << 2;  // C:
}

UINT FakeWinApi::setErrorMode(UINT mode) {
  const UINT previous = errorMode_;
  errorMode_ = mode;
  return previous;
}

bool FakeWinApi::setThreadErrorMode(UINT mode, UINT& previous) {
  previous = threadErrorMode_;
  threadErrorMode_ = mode;
  return true;
}

}  // namespace vantor::test

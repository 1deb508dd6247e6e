// tests/support/windows/FakeWinApi.h
// A machine made up for the tests of the Windows drive layer: disks on chosen buses,
// volumes with pieces on them, and requests that the machine refuses. Made the layer's
// system (WinApi) with an os::WinApiOverride, it writes down every request that changes
// something ("lock V1", "dismount V2 refused", "update 2", "offline V1", "GetLogicalDrives"),
// in order, and the closing of a handle while its volume is locked ("release V1").
// Each disk and volume is a file of its own in the fake's temporary folder, and its
// handles are real handles of that file, so the handle holders can duplicate and close
// them. The file is as many sectors long as the node's place in the fake, plus one: that
// is how a handle, whatever its value, is told apart. Nothing here opens a device.
#pragma once
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <libVantor/Types.h>
#include <libVantor/WinApi.h>

#include "support/TempDir.h"

namespace vantor::test {

class FakeWinApi final : public os::WinApi {
 public:
  struct Disk {
    DWORD number = 0;  // opens as "\\.\PhysicalDriveN"; listed as "\\?\disk#N"
    STORAGE_BUS_TYPE bus = BusTypeSata;
    std::string product = {};  // maker and model
    u64 sizeBytes = 0;  // 0: no medium (geometry and writability answer ERROR_NOT_READY)
    DWORD deviceType = FILE_DEVICE_DISK;
    // A floppy drive: listed by the floppy interface ("\\?\floppy#N"), and, as the
    // system answers for a device that cannot be partitioned, FILE_DEVICE_DISK with its
    // own number N and partition number -1.
    bool floppy = false;
  };
  struct Piece {
    DWORD disk;
    u64 firstByte;
    u64 byteCount;
  };
  struct Volume {
    std::vector<Piece> pieces = {};
    std::vector<std::wstring> paths = {};  // "E:\", "C:\mnt\key\"
    std::wstring fileSystem = {};          // empty: not recognised
    std::wstring label = {};
  };
  // Requests the machine refuses, with the error it gives: "open disk N" and "open VN"
  // (read-write opens), "read disk N" (opens for reading only), "probe VN" (opens without access rights), "writable N" (IOCTL_DISK_IS_WRITABLE), "lock VN", "dismount VN",
  // "extents VN" (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS), "write disk N" (WriteFile).
  std::map<std::string, DWORD> refuse;
  // Requests of `refuse` done so many times before the refusals start (a volume that
  // goes away after the listing).
  std::map<std::string, int> allowFirst;
  // Requests refused only so many times, with ERROR_ACCESS_DENIED, then done.
  std::map<std::string, int> refuseTimes;
  std::vector<DWORD> sleeps;  // every wait asked for, in milliseconds
  int volumeWriteOpens = 0;   // read-write opens of volumes
  std::vector<std::string> log;  // every request that changed something
  // The log so far, which starts again empty.
  std::vector<std::string> takeLog() { return std::exchange(log, {}); }
  UINT errorMode = 0;
  UINT threadErrorMode = 0;  // as the layer left it: each quiet stretch must end
  std::wstring windowsFolder = L"C:\\Windows";
  // Values under HKEY_LOCAL_MACHINE, by "KEY\VALUE"; a value not here cannot be read.
  std::map<std::wstring, std::vector<std::wstring>> registry;
  std::vector<std::wstring> files;  // files that exist ("E:\pagefile.sys")

  void addDisk(const Disk& disk) {
    std::vector<std::wstring>& interfaces = disk.floppy ? floppyInterfaces_ : diskInterfaces_;
    interfaces.push_back((disk.floppy ? L"\\\\?\\floppy#" : L"\\\\?\\disk#") + std::to_wstring(disk.number));
    names_[interfaces.back()] = nodes_.size();
    if (!disk.floppy) names_[L"\\\\.\\PhysicalDrive" + std::to_wstring(disk.number)] = nodes_.size();
    addNode({(disk.floppy ? "floppy " : "disk ") + std::to_string(disk.number), disk, Volume()});
  }
  // Volume N (from 1, in the order added) is named "\\?\Volume{VN}\"; its device is
  // "\Device\HarddiskVolumeN".
  void addVolume(const Volume& volume) {
    volumeNames_.push_back(L"\\\\?\\Volume{V" + std::to_wstring(volumeNames_.size() + 1) + L"}\\");
    names_[volumeNames_.back().substr(0, volumeNames_.back().size() - 1)] = nodes_.size();
    names_[L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume" + std::to_wstring(volumeNames_.size())] = nodes_.size();
    addNode({"V" + std::to_string(volumeNames_.size()), Disk(), volume});
  }

  std::vector<std::wstring> deviceInterfacePaths(DeviceInterface which) override {
    return which == DeviceInterface::Disk ? diskInterfaces_ : floppyInterfaces_;
  }

  // Checks its caller: a drive opened for reading or writing must be shared and uncached.
  HANDLE createFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) override {
    const auto it = names_.find(path);
    if (it == names_.end() || disposition != OPEN_EXISTING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    const std::string& name = nodes_[it->second].name;
    const bool drive = (name[0] == 'd' || name[0] == 'f') && access != 0;
    EXPECT_TRUE(!drive || (share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && flags == FILE_FLAG_NO_BUFFERING))
        << "drive opened with share " << share << " and flags " << flags;
    if (access == 0 && !allowed("probe " + name, false)) return INVALID_HANDLE_VALUE;
    if ((access & GENERIC_WRITE) != 0 && name[0] == 'V') ++volumeWriteOpens;
    if ((access & GENERIC_WRITE) != 0 && !allowed("open " + name, false)) return INVALID_HANDLE_VALUE;
    if (access == GENERIC_READ && !allowed("read " + name, false)) return INVALID_HANDLE_VALUE;
    // The file always opens read-write and cached: the fake checks what was asked.
    return CreateFileA(file(it->second).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  }

  bool deviceIoControl(HANDLE handle, DWORD code, const void*, DWORD, void* out, DWORD outSize,
                       DWORD& returned) override {
    const std::size_t index = nodeOf(handle);
    if (index >= nodes_.size()) return fail(ERROR_INVALID_HANDLE);
    const Node& node = nodes_[index];
    const Disk& disk = node.disk;
    std::vector<BYTE> answer;
    switch (code) {
      case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        append(answer, STORAGE_DEVICE_NUMBER{disk.deviceType, disk.number, disk.floppy ? 0xFFFFFFFFu : 0u});
        break;
      case IOCTL_STORAGE_QUERY_PROPERTY: {
        // The descriptor, then the product's name, padded with blanks as drivers do.
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        descriptor.BusType = disk.bus;
        descriptor.ProductIdOffset = sizeof descriptor;
        descriptor.Size = static_cast<DWORD>(sizeof descriptor + disk.product.size() + 3);
        append(answer, descriptor);
        answer.insert(answer.end(), disk.product.begin(), disk.product.end());
        answer.insert(answer.end(), {' ', ' ', '\0'});
        if (answer.size() > outSize) answer.resize(outSize);  // cut to the room given
        break;
      }
      case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        // DISK_GEOMETRY_EX up to its Data: the geometry, then the size.
        if (disk.sizeBytes == 0) return fail(ERROR_NOT_READY);
        append(answer, DISK_GEOMETRY{{}, FixedMedia, 0, 0, 512});
        append(answer, static_cast<LONGLONG>(disk.sizeBytes));
        break;
      case IOCTL_DISK_IS_WRITABLE:
        return disk.sizeBytes == 0 ? fail(ERROR_NOT_READY) : allowed("writable " + std::to_string(disk.number), false);
      case IOCTL_DISK_UPDATE_PROPERTIES:
        return allowed("update " + std::to_string(disk.number), true);
      case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
        if (!allowed("extents " + node.name, false)) return false;
        append(answer, static_cast<u64>(node.volume.pieces.size()));  // the count, padded to the pieces' alignment
        for (const Piece& piece : node.volume.pieces) {
          const LONGLONG first = static_cast<LONGLONG>(piece.firstByte);
          append(answer, DISK_EXTENT{piece.disk, {.QuadPart = first}, {.QuadPart = LONGLONG(piece.byteCount)}});
        }
        // With room for fewer pieces than there are: the count (and a piece), and ERROR_MORE_DATA.
        if (answer.size() > outSize) {
          answer.resize(sizeof(VOLUME_DISK_EXTENTS));
          return copy(answer, out, outSize, returned) && fail(ERROR_MORE_DATA);
        }
        break;
      case FSCTL_LOCK_VOLUME:
        return allowed("lock " + node.name, true) && locked_.insert(index).first != locked_.end();
      case FSCTL_UNLOCK_VOLUME:
        return allowed("unlock " + node.name, true) && (locked_.erase(index), true);
      case IOCTL_VOLUME_OFFLINE:
        return allowed("offline " + node.name, true);
      case FSCTL_DISMOUNT_VOLUME:
        return allowed("dismount " + node.name, true);
      default:
        return fail(ERROR_INVALID_FUNCTION);
    }
    return copy(answer, out, outSize, returned);
  }

  std::vector<std::wstring> volumeNames() override { return volumeNames_; }

  std::vector<std::wstring> volumePathNames(const std::wstring& volumeName) override {
    const Volume* volume = volumeNamed(volumeName);
    return volume != nullptr ? volume->paths : std::vector<std::wstring>();
  }

  bool volumeInformation(const std::wstring& volumeName, std::wstring& fileSystem, std::wstring& label,
                         DWORD& serial) override {
    const Volume* volume = volumeNamed(volumeName);
    if (volume == nullptr || volume->fileSystem.empty()) return fail(ERROR_UNRECOGNIZED_VOLUME);
    fileSystem = volume->fileSystem;
    label = volume->label;
    serial = 0;
    return true;
  }

  DWORD getLogicalDrives() override {
    log.push_back("GetLogicalDrives");
    return 1u << 2;  // C:
  }

  UINT getErrorMode() override { return errorMode; }

  UINT setErrorMode(UINT mode) override { return std::exchange(errorMode, mode); }

  bool setThreadErrorMode(UINT mode, UINT& previous) override {
    previous = std::exchange(threadErrorMode, mode);
    return true;
  }

  // A write to a disk that is not refused lands in its file.
  bool writeFile(HANDLE handle, const void* buffer, DWORD byteCount, DWORD& written) override {
    written = 0;
    const std::size_t index = nodeOf(handle);
    if (index < nodes_.size() && !allowed("write " + nodes_[index].name, false)) return false;
    return WriteFile(handle, buffer, byteCount, &written, nullptr) != 0;
  }

  void sleep(DWORD milliseconds) override { sleeps.push_back(milliseconds); }

  std::wstring windowsDirectory() override { return windowsFolder; }

  bool machineRegistryStrings(const std::wstring& key, const std::wstring& value,
                              std::vector<std::wstring>& strings) override {
    const auto it = registry.find(key + L"\\" + value);
    if (it == registry.end()) return fail(ERROR_FILE_NOT_FOUND);
    strings = it->second;
    return true;
  }

  bool fileExists(const std::wstring& path) override {
    const auto same = [&](const std::wstring& file) { return _wcsicmp(file.c_str(), path.c_str()) == 0; };
    return std::any_of(files.begin(), files.end(), same);
  }

  // Closing a handle of a locked volume ends the lock.
  bool closeHandle(HANDLE handle) override {
    const std::size_t index = nodeOf(handle);
    if (locked_.erase(index) == 1) log.push_back("release " + nodes_[index].name);
    return CloseHandle(handle) != 0;
  }

 private:
  struct Node {
    std::string name;  // "disk N" or "VN", as the requests name it
    Disk disk;
    Volume volume;
  };

  static bool fail(DWORD error) {
    SetLastError(error);
    return false;
  }

  template <class T>
  static void append(std::vector<BYTE>& answer, const T& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    answer.insert(answer.end(), bytes, bytes + sizeof value);
  }

  // Hands the answer over, or fails as the system does when it does not fit.
  static bool copy(const std::vector<BYTE>& answer, void* out, DWORD outSize, DWORD& returned) {
    if (answer.size() > outSize) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, answer.data(), answer.size());
    returned = static_cast<DWORD>(answer.size());
    return true;
  }

  // The node a handle is of, told by its file's size; past the nodes for any other handle.
  static std::size_t nodeOf(HANDLE handle) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle, &size) ? static_cast<std::size_t>(size.QuadPart / 512 - 1) : std::size_t(-1);
  }

  std::string file(std::size_t index) const { return dir_.file(std::to_string(index)); }

  void addNode(const Node& node) {
    std::ofstream(file(nodes_.size()), std::ios::binary) << std::string((nodes_.size() + 1) * 512, '\0');
    nodes_.push_back(node);
  }

  // Refused requests answer their error; the logged ones go into the log, marked when refused.
  bool allowed(const std::string& request, bool logged) {
    DWORD error = ERROR_SUCCESS;
    if (refuseTimes[request] > 0) {
      --refuseTimes[request], error = ERROR_ACCESS_DENIED;
    } else if (refuse.count(request) != 0 && allowFirst[request]-- <= 0) {
      error = refuse[request];
    }
    if (logged) log.push_back(error != ERROR_SUCCESS ? request + " refused" : request);
    return error == ERROR_SUCCESS || fail(error);
  }

  const Volume* volumeNamed(const std::wstring& name) const {
    const auto it = names_.find(name.substr(0, name.size() - 1));  // it opens without the last backslash
    return it != names_.end() && nodes_[it->second].name[0] == 'V' ? &nodes_[it->second].volume : nullptr;
  }

  TempDir dir_;
  std::vector<Node> nodes_;
  std::map<std::wstring, std::size_t> names_;  // the names that open each node
  std::vector<std::wstring> diskInterfaces_;
  std::vector<std::wstring> floppyInterfaces_;
  std::vector<std::wstring> volumeNames_;
  std::set<std::size_t> locked_;  // the volumes locked now
};

}  // namespace vantor::test

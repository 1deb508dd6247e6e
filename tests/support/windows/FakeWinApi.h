// tests/support/windows/FakeWinApi.h
// A machine made up for the tests of the Windows drive layer: disks on chosen buses with
// chosen media, volumes with pieces on them, drive letters and folders, and volumes that
// refuse to open, lock or dismount. It answers the layer's system calls (WinApi) while
// its Scope lives, and writes down every request that changes something ("lock V1",
// "dismount V2 refused", "update 1", "GetLogicalDrives"), in order.
// Each disk and volume is backed by a file of its own in the fake's temporary folder, and
// its handles are real handles of that file, so the handle holders can duplicate and
// close them and sectors read and written through a drive land in that file. Nothing here
// opens a device of the machine the tests run on.
#pragma once
#include <windows.h>
#include <winioctl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/Types.h>
#include <libVantor/WinApi.h>

#include "support/TempDir.h"

namespace vantor::test {

class FakeWinApi final : public os::WinApi {
 public:
  struct Disk {
    DWORD number = 0;
    STORAGE_BUS_TYPE bus = BusTypeSata;
    std::string vendor;
    std::string product;
    bool removableMedia = false;
    u64 sizeBytes = 1 << 20;
    u32 sectorSize = 512;
    MEDIA_TYPE mediaType = FixedMedia;
    bool noMedium = false;       // geometry and writability answer ERROR_NOT_READY
    bool writeProtected = false; // IOCTL_DISK_IS_WRITABLE answers ERROR_WRITE_PROTECT
    DWORD readWriteOpenError = 0;  // a read-write open of the drive fails with this
    DWORD deviceType = FILE_DEVICE_DISK;
  };
  struct Piece {
    DWORD disk;
    u64 firstByte;
    u64 byteCount;
  };
  struct Volume {
    std::wstring name;  // "\\?\Volume{...}\"
    std::vector<Piece> pieces;
    std::vector<std::wstring> paths;  // "E:\", "C:\mnt\key\"
    std::wstring fileSystem;          // empty: no file system recognised
    std::wstring label;
    DWORD serial = 0;
    DWORD openError = 0;      // a read-write open fails with this
    DWORD lockError = 0;      // FSCTL_LOCK_VOLUME fails with this
    DWORD dismountError = 0;  // FSCTL_DISMOUNT_VOLUME fails with this
  };

  FakeWinApi();
  ~FakeWinApi() override;

  // The disk's interface path; it also opens as "\\.\PhysicalDriveN".
  std::wstring addDisk(const Disk& disk);
  // A further interface path for a disk already added (the system may list one twice).
  void addInterfaceFor(DWORD diskNumber);
  void addFloppy(const std::wstring& interfacePath);
  // The short name ("V1", "V2", ...) the log uses for it.
  std::string addVolume(const Volume& volume);

  // Every request that changed something, in order.
  const std::vector<std::string>& log() const { return log_; }
  void clearLog() { log_.clear(); }
  // Every open: the path, the access and the flags asked for.
  struct Open {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD flags;
  };
  const std::vector<Open>& opens() const { return opens_; }
  UINT errorMode() const { return errorMode_; }
  // The thread error mode as the layer left it: each quiet stretch must end.
  UINT threadErrorMode() const { return threadErrorMode_; }
  // The file behind a disk, as the layer wrote it.
  std::string diskBytes(DWORD diskNumber) const;

  // Makes this fake the system of the drive layer while it lives.
  class Scope {
   public:
    explicit Scope(FakeWinApi& fake) : override_(fake) {}

   private:
    os::WinApiOverride override_;
  };

  std::vector<std::wstring> deviceInterfacePaths(DeviceInterface which) override;
  HANDLE createFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) override;
  bool deviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD& returned) override;
  std::vector<std::wstring> volumeNames() override;
  std::vector<std::wstring> volumePathNames(const std::wstring& volumeName) override;
  bool volumeInformation(const std::wstring& volumeName, std::wstring& fileSystem, std::wstring& label,
                         DWORD& serial) override;
  DWORD getLogicalDrives() override;
  UINT setErrorMode(UINT mode) override;
  bool setThreadErrorMode(UINT mode, UINT& previous) override;

 private:
  struct Node {
    std::wstring file;  // the backing file
    int disk = -1;      // index into disks_, or
    int volume = -1;    // index into volumes_
    u64 fileId = 0;
  };
  struct VolumeState {
    Volume volume;
    std::string shortName;
    bool locked = false;
  };

  Node& addNode(const std::wstring& openName, const std::string& fileName, u64 sizeBytes, int disk, int volume);
  const Node* nodeOf(HANDLE handle) const;
  bool fail(DWORD error) const;
  bool answerDisk(const Disk& disk, DWORD code, void* out, DWORD outSize, DWORD& returned);
  bool answerVolume(VolumeState& state, DWORD code, void* out, DWORD outSize, DWORD& returned);

  TempDir dir_;
  std::vector<Disk> disks_;
  std::vector<VolumeState> volumes_;
  std::vector<std::wstring> diskInterfaces_;
  std::vector<std::wstring> floppyInterfaces_;
  std::map<std::wstring, std::shared_ptr<Node>> byName_;  // open names, upper case
  std::vector<std::string> log_;
  std::vector<Open> opens_;
  UINT errorMode_ = 0;
  UINT threadErrorMode_ = 0;
};

}  // namespace vantor::test

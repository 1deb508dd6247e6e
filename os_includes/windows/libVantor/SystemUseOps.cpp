// os_includes/windows/libVantor/SystemUseOps.cpp
//
// What a drive carries, asked through winApi(): a volume lies on the disks its extents
// name (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS), and a file on the volume mounted at its
// drive letter. The running system is on
// - the boot volume, the one holding the Windows folder (GetSystemWindowsDirectoryW);
// - the system partition it started from, which the registry records as a device name
//   (HKLM\SYSTEM\Setup, SystemPartition: "\Device\HarddiskVolume1", asked through
//   \\?\GLOBALROOT). Where that record cannot be read, the system partition is the EFI
//   system partition of the disk holding the boot volume: that disk is refused already;
// - the volumes of the page files (Memory Management: ExistingPageFiles, PagingFiles),
//   of the crash-dump files (CrashControl: DumpFile, DedicatedDumpFile) and of any
//   pagefile.sys, swapfile.sys or hiberfil.sys at a lettered volume's root.
// A boot volume that cannot be found or asked counts as a use: nothing tells the drive
// is free. A recorded file on a letter that no volume answers for (a page file of a
// drive since removed) is passed over. There are no loop devices here.
#include <libVantor/internal/SystemUseOps.h>

#include <windows.h>
#include <winioctl.h>

#include <cwctype>
#include <string>
#include <vector>

#include <libVantor/DeviceQueries.h>
#include <libVantor/WinApi.h>
#include <vrk/windows/WideText.h>

namespace vantor::os {
namespace {

using vrk::windows::narrow;
using vrk::windows::wide;

// The disk number of a drive locator ("\\.\PhysicalDrive2"), asked of the drive itself.
bool diskNumberOf(const vrk::String& locator, DWORD& disk) {
  const vrk::FileHandle drive = openForQuery(vrk::windows::systemPath(locator));
  STORAGE_DEVICE_NUMBER number;
  if (!drive.isValid() || !deviceNumberOf(drive.get(), number)) return false;
  disk = number.DeviceNumber;
  return true;
}

bool onDisk(const std::vector<DISK_EXTENT>& extents, DWORD disk) {
  for (const DISK_EXTENT& extent : extents) {
    if (extent.DiskNumber == disk) return true;
  }
  return false;
}

// "C:\" for a path on drive letter C ("C:\x", "\??\C:\x", "\\?\C:\x"); empty otherwise.
std::wstring letterRoot(const std::wstring& path) {
  std::size_t at = 0;
  if (path.rfind(L"\\??\\", 0) == 0 || path.rfind(L"\\\\?\\", 0) == 0) at = 4;
  if (path.size() < at + 2 || path[at + 1] != L':' || !std::iswalpha(path[at])) return std::wstring();
  return std::wstring(1, static_cast<wchar_t>(std::towupper(path[at]))) + L":\\";
}

// The volume mounted at `root` ("C:\"); null when none answers.
const MachineVolume* volumeAt(const std::vector<MachineVolume>& volumes, const std::wstring& root) {
  for (const MachineVolume& volume : volumes) {
    for (const std::wstring& path : winApi().volumePathNames(volume.name)) {
      if (_wcsicmp(path.c_str(), root.c_str()) == 0) return &volume;
    }
  }
  return nullptr;
}

struct RootFile {
  const char* what;
  const wchar_t* name;
};
const RootFile kRootFiles[] = {
    {"a page file", L"pagefile.sys"}, {"a page file", L"swapfile.sys"}, {"the hibernation file", L"hiberfil.sys"}};

// The files of the running system: {what it is, where it lies}.
std::vector<std::pair<const char*, std::wstring>> systemFiles(const std::wstring& windowsFolder,
                                                              const std::vector<MachineVolume>& volumes) {
  std::vector<std::pair<const char*, std::wstring>> files;
  const auto recorded = [&](const char* what, const wchar_t* key, const wchar_t* value) {
    std::vector<std::wstring> strings;
    if (!winApi().machineRegistryStrings(key, value, strings)) return;
    for (std::wstring path : strings) {
      // "%SystemRoot%\MEMORY.DMP"; a page file's line may go on with its sizes.
      if (path.rfind(L"%SystemRoot%", 0) == 0) path = windowsFolder + path.substr(12);
      if (path.rfind(L"\\??\\", 0) == 0) path = path.substr(4);  // "\??\C:\pagefile.sys"
      files.emplace_back(what, path.substr(0, path.find(L' ')));
    }
  };
  const wchar_t* memory = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
  const wchar_t* crash = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
  recorded("a page file", memory, L"ExistingPageFiles");
  recorded("a page file", memory, L"PagingFiles");
  recorded("the crash-dump file", crash, L"DumpFile");
  recorded("the crash-dump file", crash, L"DedicatedDumpFile");
  for (const MachineVolume& volume : volumes) {
    for (const std::wstring& path : winApi().volumePathNames(volume.name)) {
      if (path.size() != 3 || letterRoot(path) != path) continue;
      for (const RootFile& file : kRootFiles) {
        if (winApi().fileExists(path + file.name)) files.emplace_back(file.what, path + file.name);
      }
    }
  }
  return files;
}

}  // namespace

vrk::String systemUseOf(const vrk::String& locator) {
  const QuietErrorMode quiet;
  DWORD disk = 0;
  if (!diskNumberOf(locator, disk)) return "the drive cannot be asked which disk it is";
  const std::vector<MachineVolume> volumes = machineVolumes();

  const std::wstring windowsFolder = winApi().windowsDirectory();
  const std::wstring bootRoot = letterRoot(windowsFolder);
  const MachineVolume* boot = bootRoot.empty() ? nullptr : volumeAt(volumes, bootRoot);
  if (boot == nullptr) {
    return "the volume of the Windows folder cannot be asked where it lies, so nothing tells the drive is unused";
  }
  if (onDisk(boot->extents, disk)) return narrow(bootRoot.substr(0, 2)) + " (the boot volume, with the Windows folder) is on it";

  std::vector<std::wstring> systemPartition;
  if (winApi().machineRegistryStrings(L"SYSTEM\\Setup", L"SystemPartition", systemPartition) &&
      !systemPartition.empty()) {
    const vrk::FileHandle volume = openForQuery(L"\\\\?\\GLOBALROOT" + systemPartition[0]);
    std::vector<DISK_EXTENT> extents;
    if (volume.isValid() && volumeExtentsOf(volume.get(), extents) && onDisk(extents, disk)) {
      return "the system partition " + narrow(systemPartition[0]) + " is on it";
    }
  }

  for (const auto& [what, path] : systemFiles(windowsFolder, volumes)) {
    const std::wstring root = letterRoot(path);
    const MachineVolume* volume = root.empty() ? nullptr : volumeAt(volumes, root);
    if (volume != nullptr && onDisk(volume->extents, disk)) {
      return narrow(root.substr(0, 2)) + " (holding " + what + ", " + narrow(path) + ") is on it";
    }
  }
  return vrk::String();
}

vrk::String loopDevicesBackedBy(const vrk::String&) { return vrk::String(); }

bool shareMedium(const vrk::String& a, bool, const vrk::String& b, bool) {
  return _wcsicmp(vrk::windows::systemPath(a).c_str(), vrk::windows::systemPath(b).c_str()) == 0;
}

Overlap overlapOf(const vrk::String& file, const vrk::String& locator, bool isFile) {
  const std::wstring image = vrk::windows::systemPath(file);
  if (isFile) {
    return _wcsicmp(image.c_str(), vrk::windows::systemPath(locator).c_str()) == 0 ? Overlap::SameFile : Overlap::None;
  }
  const QuietErrorMode quiet;
  DWORD disk = 0;
  const std::wstring root = letterRoot(image);
  if (root.empty() || !winApi().fileExists(image) || !diskNumberOf(locator, disk)) return Overlap::None;
  const std::vector<MachineVolume> volumes = machineVolumes();
  const MachineVolume* volume = volumeAt(volumes, root);
  return volume != nullptr && onDisk(volume->extents, disk) ? Overlap::OnItsVolumes : Overlap::None;
}

}  // namespace vantor::os

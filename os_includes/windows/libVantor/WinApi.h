// os_includes/windows/libVantor/WinApi.h
// The system calls of the Windows drive layer (the device set, the drives, their volumes
// and the volume operations), one virtual call each, so that the layer's own logic can
// run against a stand-in of the system. Each call does what the system call of the same
// name does and leaves its error where GetLastError finds it. winApi() is the system
// itself unless a WinApiOverride lives; closing and duplicating handles stays with the
// foundation library's handle holder (but for the closing of a volume's lock, whose
// moment matters), so a stand-in hands out real handles.
// Thread rule: set an override only while no other thread uses the drive layer.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// "A device which does not exist was specified": a device pulled out; older mingw-w64
// headers lack the name.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif
// Takes a volume offline: the system does not mount it until it is brought online again
// or its disk comes again. Missing from mingw-w64's headers.
#ifndef IOCTL_VOLUME_OFFLINE
#define IOCTL_VOLUME_OFFLINE 0x0056C00C
#endif

namespace vantor::os {

class WinApi {
 public:
  enum class DeviceInterface { Disk, Floppy };

  WinApi() = default;
  WinApi(const WinApi&) = delete;
  WinApi& operator=(const WinApi&) = delete;
  virtual ~WinApi() = default;

  // The device paths of the present devices of one interface class (SetupAPI), in the
  // system's order; empty when the class cannot be listed.
  virtual std::vector<std::wstring> deviceInterfacePaths(DeviceInterface which) = 0;
  virtual HANDLE createFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) = 0;
  virtual bool deviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                               DWORD& returned) = 0;
  // Every volume name of the machine, "\\?\Volume{...}\" (FindFirstVolumeW and FindNextVolumeW).
  virtual std::vector<std::wstring> volumeNames() = 0;
  // The paths a volume is mounted on, "E:\" and "C:\mnt\key\" (GetVolumePathNamesForVolumeNameW).
  virtual std::vector<std::wstring> volumePathNames(const std::wstring& volumeName) = 0;
  // The file system on a volume, its label and serial number (GetVolumeInformationW).
  virtual bool volumeInformation(const std::wstring& volumeName, std::wstring& fileSystem, std::wstring& label,
                                 DWORD& serial) = 0;
  virtual DWORD getLogicalDrives() = 0;
  virtual UINT getErrorMode() = 0;
  virtual UINT setErrorMode(UINT mode) = 0;
  // The calling thread's error mode alone (SetThreadErrorMode); `previous` gets the old one.
  virtual bool setThreadErrorMode(UINT mode, UINT& previous) = 0;
  // One synchronous WriteFile of a drive's sectors; `written` gets the bytes moved.
  virtual bool writeFile(HANDLE handle, const void* buffer, DWORD byteCount, DWORD& written) = 0;
  // Waits before a request is tried again (Sleep).
  virtual void sleep(DWORD milliseconds) = 0;
  // The Windows folder, "C:\Windows" (GetSystemWindowsDirectoryW); empty when not known.
  virtual std::wstring windowsDirectory() = 0;
  // The strings of a value under HKEY_LOCAL_MACHINE (RegGetValueW): one for REG_SZ and
  // REG_EXPAND_SZ (not expanded), each of a REG_MULTI_SZ; false when it cannot be read.
  virtual bool machineRegistryStrings(const std::wstring& key, const std::wstring& value,
                                      std::vector<std::wstring>& strings) = 0;
  // Whether something exists at `path` (GetFileAttributesW).
  virtual bool fileExists(const std::wstring& path) = 0;
  // Closes a handle that holds a volume's lock (CloseHandle): the lock ends with it.
  virtual bool closeHandle(HANDLE handle) = 0;
};

// The WinApi the drive layer calls now.
WinApi& winApi();

// Makes `api` the one the drive layer calls while the object lives; the one before comes
// back when it goes. Scopes nest.
class WinApiOverride {
 public:
  explicit WinApiOverride(WinApi& api);
  ~WinApiOverride();
  WinApiOverride(const WinApiOverride&) = delete;
  WinApiOverride& operator=(const WinApiOverride&) = delete;

 private:
  WinApi* previous_;
};

}  // namespace vantor::os

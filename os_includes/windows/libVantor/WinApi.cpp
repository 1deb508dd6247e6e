// os_includes/windows/libVantor/WinApi.cpp
//
// The system behind WinApi: kernel32 and SetupAPI, called as they are. The interface
// classes are named by their GUIDs here, so that no GUID library has to be linked.
#include <libVantor/WinApi.h>

#include <setupapi.h>

#include <atomic>
#include <memory>

namespace vantor::os {
namespace {

const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kFloppyInterface = {0x53f56311, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

struct DeviceInfoSetFree {
  void operator()(void* set) const { SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set)); }
};
using DeviceInfoSet = std::unique_ptr<void, DeviceInfoSetFree>;

struct VolumeFindClose {
  void operator()(void* find) const { ::FindVolumeClose(static_cast<HANDLE>(find)); }
};
using VolumeFind = std::unique_ptr<void, VolumeFindClose>;

// A wide string of a multi-string buffer cut at each terminating zero.
std::vector<std::wstring> splitMultiString(const std::vector<wchar_t>& buffer) {
  std::vector<std::wstring> strings;
  std::size_t i = 0;
  while (i < buffer.size() && buffer[i] != L'\0') {
    std::wstring one(&buffer[i]);
    i += one.size() + 1;
    strings.push_back(std::move(one));
  }
  return strings;
}

class SystemWinApi final : public WinApi {
 public:
  std::vector<std::wstring> deviceInterfacePaths(DeviceInterface which) override {
    std::vector<std::wstring> paths;
    const GUID& guid = which == DeviceInterface::Disk ? kDiskInterface : kFloppyInterface;
    HDEVINFO raw = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (raw == INVALID_HANDLE_VALUE) return paths;
    const DeviceInfoSet set(raw);
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA item{};
      item.cbSize = sizeof item;
      if (!SetupDiEnumDeviceInterfaces(raw, nullptr, &guid, index, &item)) break;
      DWORD needed = 0;
      (void)SetupDiGetDeviceInterfaceDetailW(raw, &item, nullptr, 0, &needed, nullptr);
      if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
      // The detail record ends in a path of variable length; DWORD-aligned storage for it.
      std::vector<DWORD> storage((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (!SetupDiGetDeviceInterfaceDetailW(raw, &item, detail, needed, nullptr, nullptr)) continue;
      paths.emplace_back(detail->DevicePath);
    }
    return paths;
  }

  HANDLE createFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) override {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  }

  bool deviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD& returned) override {
    returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr) != 0;
  }

  std::vector<std::wstring> volumeNames() override {
    std::vector<std::wstring> names;
    wchar_t name[MAX_PATH + 1];
    HANDLE raw = FindFirstVolumeW(name, MAX_PATH + 1);
    if (raw == INVALID_HANDLE_VALUE) return names;
    const VolumeFind find(raw);
    do {
      names.emplace_back(name);
    } while (FindNextVolumeW(raw, name, MAX_PATH + 1));
    return names;
  }

  std::vector<std::wstring> volumePathNames(const std::wstring& volumeName) override {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD needed = 0;
    while (!GetVolumePathNamesForVolumeNameW(volumeName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                             &needed)) {
      if (GetLastError() != ERROR_MORE_DATA || needed <= buffer.size()) return {};
      buffer.assign(needed, L'\0');
    }
    return splitMultiString(buffer);
  }

  bool volumeInformation(const std::wstring& volumeName, std::wstring& fileSystem, std::wstring& label,
                         DWORD& serial) override {
    wchar_t fs[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    DWORD maxComponent = 0, fsFlags = 0;
    serial = 0;
    if (!GetVolumeInformationW(volumeName.c_str(), name, MAX_PATH + 1, &serial, &maxComponent, &fsFlags, fs,
                               MAX_PATH + 1)) {
      return false;
    }
    fileSystem = fs;
    label = name;
    return true;
  }

  DWORD getLogicalDrives() override { return GetLogicalDrives(); }

  UINT getErrorMode() override { return GetErrorMode(); }

  UINT setErrorMode(UINT mode) override { return SetErrorMode(mode); }

  bool setThreadErrorMode(UINT mode, UINT& previous) override {
    DWORD old = 0;
    const bool done = SetThreadErrorMode(mode, &old) != 0;
    previous = old;
    return done;
  }

  bool writeFile(HANDLE handle, const void* buffer, DWORD byteCount, DWORD& written) override {
    written = 0;
    return WriteFile(handle, buffer, byteCount, &written, nullptr) != 0;
  }

  void sleep(DWORD milliseconds) override { Sleep(milliseconds); }

  std::wstring windowsDirectory() override {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(folder, length);
  }

  bool machineRegistryStrings(const std::wstring& key, const std::wstring& value,
                              std::vector<std::wstring>& strings) override {
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_RT_REG_MULTI_SZ | RRF_NOEXPAND;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), flags, &type, nullptr, &bytes) != ERROR_SUCCESS) {
      return false;
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
    bytes = static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), flags, &type, buffer.data(), &bytes) !=
        ERROR_SUCCESS) {
      return false;
    }
    strings = splitMultiString(buffer);
    return true;
  }

  bool fileExists(const std::wstring& path) override { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
  bool closeHandle(HANDLE handle) override { return CloseHandle(handle) != 0; }
};

SystemWinApi& systemApi() {
  static SystemWinApi api;
  return api;
}

std::atomic<WinApi*> overridden{nullptr};

}  // namespace

WinApi& winApi() {
  WinApi* api = overridden.load();
  return api != nullptr ? *api : systemApi();
}

WinApiOverride::WinApiOverride(WinApi& api) : previous_(overridden.exchange(&api)) {}

WinApiOverride::~WinApiOverride() { overridden.store(previous_); }

}  // namespace vantor::os

// os_includes/windows/libVantor/DeviceQueries.h
//
// What the Windows drive layer reads from the system about disks and volumes, shared by
// the device library (SysHost.cpp) and the volume operations (VolumeOps.cpp): the
// storage ioctls decoded into plain records, the machine's volumes with their extents,
// and the kind of device a storage bus makes. Every call goes through winApi(). Nothing
// here changes a device, logs or throws (beyond running out of memory); a query that
// fails answers false and leaves its error where GetLastError finds it.
#pragma once
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include <libVantor/internal/SysHost.h>
#include <vrk/Resource.h>

namespace vantor::os {

// Share flags every open of a disk or volume here uses: others keep reading and writing.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens a device or volume without read or write access: enough for the queries below.
vrk::FileHandle openForQuery(const std::wstring& path);

// The system's number of the disk behind `handle`: its type, disk number and partition
// number (0 for a whole disk).
bool deviceNumberOf(HANDLE handle, STORAGE_DEVICE_NUMBER& number);
// Whether that number is one of \\.\PhysicalDriveN or of a partition on it: a disk, not
// one path of a multipath disk (disk number 0xFFFFFFFF), and not a device that cannot be
// partitioned (partition number 0xFFFFFFFF: a floppy drive answers its own number so).
bool isNumberedDisk(const STORAGE_DEVICE_NUMBER& number);

// What the storage stack says about a device (IOCTL_STORAGE_QUERY_PROPERTY).
struct StorageFacts {
  STORAGE_BUS_TYPE bus = BusTypeUnknown;
  bool removableMedia = false;
  std::string vendor;   // blanks trimmed; empty when not given
  std::string product;
};
bool storageFactsOf(HANDLE handle, StorageFacts& facts);

// Geometry and size of the medium (IOCTL_DISK_GET_DRIVE_GEOMETRY_EX); false without a medium.
struct MediumFacts {
  u64 sizeBytes = 0;
  u32 sectorSize = 0;
  MEDIA_TYPE mediaType = Unknown;
};
bool mediumFactsOf(HANDLE handle, MediumFacts& facts);

// Where a volume lies, piece by piece, across the disks (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS).
bool volumeExtentsOf(HANDLE handle, std::vector<DISK_EXTENT>& extents);

// The kind of device a bus makes: USB gives a USB-attached disk; SD and MMC a memory card;
// the system's virtual, file-backed and pooled disks a virtual disk; every other bus an
// internal disk.
libSysHost::WinDeviceType deviceTypeOfBus(STORAGE_BUS_TYPE bus);

// A volume name as FindFirstVolumeW gives it ("\\?\Volume{...}\") and as CreateFileW
// opens it (the same without the last backslash).
std::wstring volumeOpenName(const std::wstring& volumeName);
std::wstring volumeRootName(const std::wstring& volumeLocator);

// One volume of the machine and its pieces. A volume whose extents cannot be read (an
// optical or floppy drive's, one without its medium) is not listed.
struct MachineVolume {
  std::wstring name;  // "\\?\Volume{...}\"
  std::vector<DISK_EXTENT> extents;
  u64 systemId = 0;   // disk number << 32 | partition number, when the system gives them
};
std::vector<MachineVolume> machineVolumes();

// The volumes among `all` that lie on disk `diskNumber`, ordered by where they start on
// it, each with its drive letter (the first "X:\" it is mounted on) and file system. A
// volume made of several pieces on the disk, or of pieces on other disks as well, is
// listed with its extent unknown.
vrk::Array<libSysHost::Volume> volumesOnDisk(const std::vector<MachineVolume>& all, DWORD diskNumber);

// Adds kQuietErrorMode to the process's error mode (SetErrorMode), keeping the host's own
// flags, and leaves it so.
void quietErrorModeForGood();

// Sets, for the calling thread, the error mode that keeps the system from asking the
// user about a drive without its medium, and sets the one before back when it goes.
class QuietErrorMode {
 public:
  QuietErrorMode();
  ~QuietErrorMode();
  QuietErrorMode(const QuietErrorMode&) = delete;
  QuietErrorMode& operator=(const QuietErrorMode&) = delete;

 private:
  UINT previous_ = 0;
  bool set_;
};

constexpr UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

}  // namespace vantor::os

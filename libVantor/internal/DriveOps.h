// libVantor/internal/DriveOps.h
// What a physical drive asks of the system beyond sector transfers: opening it, and
// making the system see a partition table written to it. Declared once here;
// os_includes/<platform>/libVantor/DriveOps.cpp implements it. Nothing here logs or
// throws: each call says whether it worked, and os::lastSystemError() gives the reason.
#pragma once
#include <vector>

#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/MbrLayout.h>
#include <vrk/String.h>

namespace vantor::os {

// How a drive was opened.
enum class DriveAccess {
  ReadWrite,
  WriteProtected,  // the medium or the device refuses writes: open for reading only
  NoMedium,        // an empty card-reader slot: open without a medium, 0 bytes large
};

// Opens a whole drive for sector transfers without the system's cache (whole sectors
// from aligned memory only): read-write where the device allows it. A medium that
// refuses writes at open is opened for reading, and a device the system marks read-only
// is reported as such; an empty slot opens without its medium, as a drive of 0 bytes.
// -1 on any other failure.
NativeHandle openDrive(const vrk::String& locator, DriveAccess& access);

// Whether the drive at `locator` opens for reading (without the system's cache) and, if
// so, whether its medium or the device refuses writes. Never opens it for writing; an
// empty slot counts as opening. 0 when it opens, else the system's error code.
int probeDrive(const vrk::String& locator, bool& readOnly);

// Makes the system's partitions of `drive` match `layout`, the table just read from it
// (sectors of `sectorSize` bytes). False when the system refused (the drive is not a
// whole disk, the table could not be read, a change was refused).
bool rereadPartitionTable(NativeHandle drive, MbrLayoutKind layoutKind, const std::vector<MbrPartition>& layout,
                          u32 sectorSize);

}  // namespace vantor::os

// libVantor/internal/DiskHandleOps.h
//
// What the handle-backed disks need from the operating system, over the platform's
// native handle (vrk::NativeHandle). Each platform implements these in
// os_includes/<platform>/libVantor/DiskHandleOps.cpp. Nothing here logs or throws: each
// call says whether it worked, and lastSystemError() gives the system's code right after
// a failure.
#pragma once
#include <libVantor/IDisk.h>
#include <libVantor/Types.h>
#include <vrk/String.h>
#include <vrk/Types.h>

namespace vantor::os {

using NativeHandle = vrk::NativeHandle;

[[nodiscard]] bool seekTo(NativeHandle h, u64 byteOffset);
// One transfer of the whole request as far as the system lets it go (restarted after a
// signal or a partial answer). On success `transferred` holds the bytes moved: fewer than
// asked at the end of a file or device.
[[nodiscard]] bool readOnce(NativeHandle h, void* buffer, u32 byteCount, u32& transferred);
[[nodiscard]] bool writeOnce(NativeHandle h, const void* buffer, u32 byteCount, u32& transferred);
// The drive geometry; false for regular files and devices that refuse it.
[[nodiscard]] bool queryGeometry(NativeHandle h, DiskGeometry& out);
// The medium went away or was changed during a transfer.
bool isMediumGone(int systemError);
int lastSystemError();
// The system's text for an error code ("Device or resource busy").
vrk::String systemErrorText(int systemError);

// File-backed disks: open the file at the absolute `path` read-write (or for reading only
// when `readOnly`), shared for reading and writing, creating it when `create`; invalid on
// failure, also for a directory. The platform turns the path into its own form for the
// call ("/" and a device prefix).
NativeHandle openFile(const vrk::String& path, bool create, bool readOnly);
[[nodiscard]] bool fileSize(NativeHandle h, u64& size);
// Sets the end of the file at `size`: extends with zeros or cuts.
[[nodiscard]] bool setFileSize(NativeHandle h, u64 size);

// The file `opened` is open on, opened once more (for reading only when `readOnly`) for
// transfers past the system's cache: each goes between the file's medium and memory as it
// is made, at an offset, of a length and from an address that are whole multiples of
// UNCACHED_BLOCK. The same file, whatever its path names by now. Invalid where the
// platform or the file system has no such transfers.
constexpr u32 UNCACHED_BLOCK = 4096;
NativeHandle openFileUncached(NativeHandle opened, bool readOnly);
// One transfer of the whole request at `byteOffset` on such a handle (restarted as
// readOnce and writeOnce are); `transferred` holds the bytes moved, after a failure too.
[[nodiscard]] bool readAt(NativeHandle h, u64 byteOffset, void* buffer, u32 byteCount, u32& transferred);
[[nodiscard]] bool writeAt(NativeHandle h, u64 byteOffset, const void* buffer, u32 byteCount, u32& transferred);
// The system turned an uncached transfer down for its own reasons (the alignment its file
// system asks, or no such transfers at all), not for the medium: a cached one can do it.
bool refusesUncached(int systemError);

}  // namespace vantor::os

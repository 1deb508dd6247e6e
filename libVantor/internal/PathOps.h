// libVantor/internal/PathOps.h
// What PathFacts and DiskFileLock ask the system about paths and files. Declared once
// here; os_includes/<platform>/libVantor/PathOps.cpp implements it (stat(2), flock(2)
// and SEEK_DATA on Linux; file information by handle, byte-range locks and the drive
// namespace on Windows). Nothing here logs or throws.
#pragma once
#include <libVantor/Types.h>
#include <vrk/String.h>
#include <vrk/Types.h>

namespace vantor::os {

enum class PathKind { Missing, Regular, Directory, Drive, Other };

// What `path` names, symbolic links followed; `size` is the byte count of a regular file
// and 0 for anything else.
PathKind pathKind(const vrk::String& path, u64& size);
// Whether `path` itself is a symbolic link.
bool isSymbolicLink(const vrk::String& path);
// A key that two spellings of one thing share: a drive by its device number, a file by
// its file system and its number there, a missing path by its spelling with the folder
// part resolved (without regard to case where names are compared that way).
vrk::String pathIdentity(const vrk::String& path);
// Whether `path` is spelled as a drive is ("/dev/...", "\\.\..."), whether or not one is
// there.
bool isDrivePath(const vrk::String& path);
// Takes the advisory lock of a disk file on `h` (opened for reading) without waiting;
// false when it cannot, with `conflict` telling that another holder's lock is in the way.
// The lock never keeps the library's own transfers through other handles out.
[[nodiscard]] bool lockDiskFile(vrk::NativeHandle h, bool exclusive, bool& conflict);
// The first stretch of data of the file at or after `at`, before `end`, as [first, last);
// false when only holes remain there. A file system without holes answers [at, end).
bool nextDataSpan(vrk::NativeHandle h, u64 at, u64 end, u64& first, u64& last);

}  // namespace vantor::os

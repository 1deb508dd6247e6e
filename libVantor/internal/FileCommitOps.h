// libVantor/internal/FileCommitOps.h
// What putting a finished file in place durably needs from the operating system. Each
// platform implements these in os_includes/<platform>/libVantor/FileCommitOps.cpp.
// Nothing here logs or throws: each call says whether it worked, and lastSystemError()
// (DiskHandleOps.h) gives the system's code right after a failure.
#pragma once
#include <vrk/String.h>

namespace vantor::os {

// Makes the file `path`, new and empty (with the ordinary mode of a new file); false when
// it cannot, with `existed` telling whether something was at `path` already.
[[nodiscard]] bool createNewFile(const vrk::String& path, bool& existed);
// Writes `size` bytes as the whole content of the existing file at `path`.
[[nodiscard]] bool writeWholeFile(const vrk::String& path, const void* data, std::size_t size);
// Returns once the file's content is on the medium (fsync; FlushFileBuffers).
[[nodiscard]] bool syncFile(const vrk::String& path);
// Puts the file `from` at `to`, over an existing `to` only when `replace` (rename;
// MoveFileExW, which writes through).
[[nodiscard]] bool moveFile(const vrk::String& from, const vrk::String& to, bool replace);
// Returns once the directory holding `path` has its entries on the medium (an fsync of
// the directory; on Windows a move that wrote through has done so already).
[[nodiscard]] bool syncDirectoryOf(const vrk::String& path);
bool removeFile(const vrk::String& path);
// Whether `path` names anything (a link not followed), and whether that is a regular file.
bool fileExists(const vrk::String& path, bool& regular);

}  // namespace vantor::os

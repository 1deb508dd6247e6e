// tests/support/SystemHandles.h
// What the tests of disks over system handles need from each system: handles opened the
// way that system opens them, the error code it gives for each failure those tests
// provoke, files made large, and paths that name something other than a regular file.
#pragma once
#include <string>
#include <vector>

#include <vrk/Resource.h>

namespace vantor::test {

enum class Access { ReadOnly, ReadWrite, Directory };
// Invalid when the path cannot be opened so.
vrk::FileHandle openHandle(const std::string& path, Access access);

enum class Failure {
  WriteOnReadOnly,  // a write through a handle opened for reading only
  ReadOnDirectory,  // a read through a handle on a directory
};
// The system's error code for `failure`, as the disk logs it.
unsigned systemError(Failure failure);

// Makes the file at `path` `size` bytes long, the new bytes reading as zeros; sparse
// where the file system can. Throws std::runtime_error when it cannot.
void setFileSize(const std::string& path, unsigned long long size);

// Paths that are no regular file, made in `dir` where that is needed: the null device, the
// directory itself and, where the system has them, a pipe and a symbolic link to the null
// device.
std::vector<std::string> specialFiles(const std::string& dir);
// True when everything specialFiles(dir) named is still what it was.
bool specialFilesIntact(const std::string& dir);

}  // namespace vantor::test

#include <libVantor/WinDiskFile.h>

#include <libVantor/internal/DiskHandleOps.h>
#include <vrk/Files.h>

namespace vantor {

WinDiskFile::WinDiskFile(const vrk::String& path, CreateDisposition disposition, u32 sectorSize, u64 sizeBytes) {
  const vrk::String absolute = vrk::FileSystem::getAbsolutePath(vrk::System::getApplicationDirectory(), path, true);
  path_ = absolute;
  if (disposition != OpenExisting && disposition != OpenAlways && disposition != OpenReadOnly) {  // no such way
    setDiskParameters(HandleHolder(), sectorSize, sizeBytes);
    return;
  }
  const bool readOnly = disposition == OpenReadOnly;
  HandleHolder opened(os::openFile(absolute, disposition == OpenAlways, readOnly));
  u64 fileBytes = 0;
  const bool sized = opened.isValid() && os::fileSize(opened.get(), fileBytes);
  if (sizeBytes == 0 && sized) sizeBytes = fileBytes;
  setDiskParameters(opened, sectorSize, sizeBytes);
  // A file opened for reading keeps its size: it is never extended or cut.
  open = readOnly ? sized && fileBytes == sizeBytes : expandFileToSpecifiedSize();
  // `opened` closes here; the disk keeps its duplicate.
}

WinDiskFile::~WinDiskFile() = default;

WinDiskFile* WinDiskFile::clone() const { return new WinDiskFile(*this); }

bool WinDiskFile::expandFileToSpecifiedSize() {
  if (!getHandle().isValid()) return false;
  if (getSizeBytes() == 0) return true;
  return os::setFileSize(getHandle().get(), getSizeBytes());
}

}  // namespace vantor

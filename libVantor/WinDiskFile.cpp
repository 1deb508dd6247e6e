#include <libVantor/WinDiskFile.h>

#include <libVantor/internal/DiskHandleOps.h>
#include <vrk/Files.h>

namespace vantor {

WinDiskFile::WinDiskFile(const vrk::String& path, CreateDisposition disposition, u32 sectorSize, u64 sizeBytes) {
  const vrk::String absolute = vrk::FileSystem::getAbsolutePath(vrk::System::getApplicationDirectory(), path, true);
  path_ = absolute;
  if (disposition != OpenExisting && disposition != OpenAlways) {  // no such way of opening
    setDiskParameters(HandleHolder(), sectorSize, sizeBytes);
    return;
  }
  HandleHolder opened(os::openFile(absolute, disposition == OpenAlways));
  if (sizeBytes == 0 && opened.isValid()) {
    u64 size = 0;
    if (os::fileSize(opened.get(), size)) sizeBytes = size;
  }
  setDiskParameters(opened, sectorSize, sizeBytes);
  open = expandFileToSpecifiedSize();
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

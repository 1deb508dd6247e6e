#include <libVantor/WinDiskFile.h>

#include <cstdint>

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
  if (open && !readOnly) uncached_.reset(os::openFileUncached(absolute));
  // `opened` closes here; the disk keeps its duplicate.
}

WinDiskFile::~WinDiskFile() = default;

WinDiskFile* WinDiskFile::clone() const { return new WinDiskFile(*this); }

bool WinDiskFile::impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) {
  const u64 offset = getByteOffset(sectorOffset);
  const u64 bytes = u64(sectorCount) * getSectorSize();
  const auto whole = [](u64 n) { return n % os::UNCACHED_BLOCK == 0; };
  if (uncached_.isValid() && bytes <= 0xFFFFFFFFull && whole(offset) && whole(bytes) &&
      whole(reinterpret_cast<std::uintptr_t>(buffer))) {
    u32 transferred = 0;
    if (os::writeAt(uncached_.get(), offset, buffer, static_cast<u32>(bytes), transferred)) return transferred == bytes;
    const int error = os::lastSystemError();
    if (!os::refusesUncached(error)) {
      logTransferFailure("106 ", "Error writing to disk device. ", sectorOffset, sectorCount, error);
      return false;
    }
    uncached_.reset();  // the file system wants other writes: the cache takes them from here on
  }
  return WinDisk::impWriteSectors(sectorOffset, buffer, sectorCount);
}

bool WinDiskFile::expandFileToSpecifiedSize() {
  if (!getHandle().isValid()) return false;
  if (getSizeBytes() == 0) return true;
  return os::setFileSize(getHandle().get(), getSizeBytes());
}

}  // namespace vantor

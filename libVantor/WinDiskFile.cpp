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
  if (open) uncached_.reset(os::openFileUncached(opened.get(), readOnly));
  // `opened` closes here; the disk keeps its duplicate.
}

WinDiskFile::~WinDiskFile() = default;

WinDiskFile* WinDiskFile::clone() const { return new WinDiskFile(*this); }

bool WinDiskFile::goesUncached(u64 byteOffset, u64 byteCount, const void* buffer) const {
  const auto whole = [](u64 n) { return n % os::UNCACHED_BLOCK == 0; };
  return uncached_.isValid() && !uncachedTurnedDown_ && byteCount <= 0xFFFFFFFFull && whole(byteOffset) &&
         whole(byteCount) && whole(reinterpret_cast<std::uintptr_t>(buffer)) &&
         byteOffset + byteCount <= getSizeBytes();
}

bool WinDiskFile::turnedDown(u32 transferred, int error) const {
  if (transferred != 0 || !os::refusesUncached(error)) return false;
  uncachedTurnedDown_ = true;
  return true;
}

bool WinDiskFile::impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const {
  const u64 offset = getByteOffset(sectorOffset);
  const u64 bytes = u64(sectorCount) * getSectorSize();
  if (goesUncached(offset, bytes, buffer)) {
    u32 transferred = 0;
    if (os::readAt(uncached_.get(), offset, buffer, static_cast<u32>(bytes), transferred)) return transferred == bytes;
    const int error = os::lastSystemError();
    if (!turnedDown(transferred, error)) {
      logTransferFailure("84 ", "Error reading from disk device. ", sectorOffset, sectorCount, error);
      return false;
    }
  }
  return WinDisk::impReadSectors(sectorOffset, buffer, sectorCount);
}

bool WinDiskFile::impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) {
  const u64 offset = getByteOffset(sectorOffset);
  const u64 bytes = u64(sectorCount) * getSectorSize();
  if (goesUncached(offset, bytes, buffer)) {
    u32 transferred = 0;
    if (os::writeAt(uncached_.get(), offset, buffer, static_cast<u32>(bytes), transferred)) return transferred == bytes;
    const int error = os::lastSystemError();
    if (!turnedDown(transferred, error)) {
      failedWrite(sectorOffset, sectorCount, error);
      return false;
    }
  }
  return WinDisk::impWriteSectors(sectorOffset, buffer, sectorCount);
}

bool WinDiskFile::expandFileToSpecifiedSize() {
  if (!getHandle().isValid()) return false;
  if (getSizeBytes() == 0) return true;
  return os::setFileSize(getHandle().get(), getSizeBytes());
}

}  // namespace vantor

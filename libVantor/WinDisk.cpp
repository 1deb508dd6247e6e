#include <libVantor/WinDisk.h>

#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/VantorException.h>
#include <vrk/Log.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.WinDisk");
  return l;
}

}  // namespace

WinDisk::WinDisk(const HandleHolder& h, u32 sectorSize_, u64 sizeBytes_)
    : sectorSize(sectorSize_), sizeBytes(sizeBytes_), handle(h) {}

WinDisk::WinDisk(WinDisk&& other) noexcept
    : IDisk(other), sectorSize(other.sectorSize), sizeBytes(other.sizeBytes), handle(std::move(other.handle)),
      geometry(other.geometry), writeProtected(other.writeProtected), noMedium(other.noMedium) {}

WinDisk& WinDisk::operator=(WinDisk&& other) noexcept {
  if (this != &other) {
    IDisk::operator=(other);
    sectorSize = other.sectorSize;
    sizeBytes = other.sizeBytes;
    handle = std::move(other.handle);
    geometry = other.geometry;
    writeProtected = other.writeProtected;
    noMedium = other.noMedium;
  }
  return *this;
}

WinDisk::~WinDisk() = default;

WinDisk* WinDisk::clone() const { return new WinDisk(*this); }

void WinDisk::setDiskParameters(const HandleHolder& h, u32 sectorSize_, u64 sizeBytes_) {
  if (&h != &handle) handle = h;
  sectorSize = sectorSize_;
  sizeBytes = sizeBytes_;
}

u32 WinDisk::getSizeSectors() const {
  if (sectorSize == 0) return 0;
  return static_cast<u32>(sizeBytes / sectorSize);
}

bool WinDisk::getDiskGeometry(DiskGeometry& out) const {
  if (geometry) {
    out = *geometry;
    return true;
  }
  out = DiskGeometry{};
  DiskGeometry answer;
  if (!os::queryGeometry(handle.get(), answer)) return false;
  out = answer;
  geometry = answer;
  return true;
}

bool WinDisk::setFilePointer(u64 byteOffset, int& error) const {
  if (os::seekTo(handle.get(), byteOffset)) return true;
  error = os::lastSystemError();  // taken before logging can change it
  if (logger().isEnabled(vrk::LOG_ERROR)) {
    logger().log(vrk::LOG_ERROR,
                 vrk::String("172 ") + vrk::SprintfFormat("Error encountered while attempting to set file pointer : %u",
                                                         static_cast<unsigned>(error)));
  }
  return false;
}

void WinDisk::logTransferFailure(const char* number, const char* text, u32 sectorOffset, u32 sectorCount,
                                 int error) const {
  if (!logger().isEnabled(vrk::LOG_ERROR)) return;
  logger().log(vrk::LOG_ERROR, vrk::String(number) + text +
                                   vrk::SprintfFormat("(sectorOffset:%08Xh sectorCount:%08Xh errorCode:%u)",
                                                      sectorOffset, sectorCount, static_cast<unsigned>(error)));
}

bool WinDisk::impReadSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const {
  const u64 byteCount = u64(sectorCount) * sectorSize;
  if (byteCount > 0xFFFFFFFFull) return false;  // one transfer moves less than 4 GiB: refused, not cut
  int seekError = 0;
  if (!setFilePointer(getByteOffset(sectorOffset), seekError)) {
    logTransferFailure("76 ", "Error setting file pointer on disk device. ", sectorOffset, sectorCount, seekError);
    return false;
  }
  u32 transferred = 0;
  if (!os::readOnce(handle.get(), buffer, static_cast<u32>(byteCount), transferred)) {
    const int error = os::lastSystemError();
    logTransferFailure("84 ", "Error reading from disk device. ", sectorOffset, sectorCount, error);
    return false;
  }
  return transferred == byteCount;  // short past the end of a file: a failure, but no failed call to log
}

bool WinDisk::impWriteSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) {
  const u64 byteCount = u64(sectorCount) * sectorSize;
  if (byteCount > 0xFFFFFFFFull) return false;  // one transfer moves less than 4 GiB: refused, not cut
  int seekError = 0;
  if (!setFilePointer(getByteOffset(sectorOffset), seekError)) {
    logTransferFailure("99 ", "Error setting file pointer on disk device. ", sectorOffset, sectorCount, seekError);
    return false;
  }
  u32 transferred = 0;
  if (!os::writeOnce(handle.get(), buffer, static_cast<u32>(byteCount), transferred)) {
    failedWrite(sectorOffset, sectorCount, os::lastSystemError());
    return false;
  }
  return transferred == byteCount;
}

void WinDisk::failedWrite(u32 sectorOffset, u32 sectorCount, int error) const {
  logTransferFailure("106 ", "Error writing to disk device. ", sectorOffset, sectorCount, error);
  if (os::isMediumGone(error)) {
    throw VantorException(ERR_MEDIA_CHANGED, "Drive reports that the media may have changed. Reinsert device.");
  }
}

}  // namespace vantor

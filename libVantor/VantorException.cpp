#include <libVantor/VantorException.h>

namespace vantor {

VantorException::~VantorException() = default;

const char* errorCodeName(VantorErrorCodes code) {
  switch (code) {
    case ERR_NONE: return "ERR_NONE";
    case ERR_GENERAL: return "ERR_GENERAL";
    case ERR_DISMOUNT_FAILED: return "ERR_DISMOUNT_FAILED";
    case ERR_MOUNT_FAILED: return "ERR_MOUNT_FAILED";
    case ERR_DISK_ACCESS: return "ERR_DISK_ACCESS";
    case ERR_VERIFY_MISMATCH: return "ERR_VERIFY_MISMATCH";
    case ERR_FILE_ACCESS: return "ERR_FILE_ACCESS";
    case ERR_VOLUME_TOO_LARGE: return "ERR_VOLUME_TOO_LARGE";
    case ERR_VOLUME_EXCEEDS_DRIVE: return "ERR_VOLUME_EXCEEDS_DRIVE";
    case ERR_MEDIA_CHANGED: return "ERR_MEDIA_CHANGED";
    case ERR_UNSUPPORTED_FILE_SYSTEM: return "ERR_UNSUPPORTED_FILE_SYSTEM";
    case ERR_INVALID_IMAGE_FILE: return "ERR_INVALID_IMAGE_FILE";
    case ERR_INCOMPATIBLE_IMAGE: return "ERR_INCOMPATIBLE_IMAGE";
    case ERR_INVALID_BOOT_LOADER: return "ERR_INVALID_BOOT_LOADER";
    case ERR_UNSUPPORTED_SECTOR_SIZE: return "ERR_UNSUPPORTED_SECTOR_SIZE";
    case ERR_ABORTED: return "ERR_ABORTED";
    case ERR_INVALID_ARGUMENT: return "ERR_INVALID_ARGUMENT";
  }
  return "ERR_UNKNOWN";
}

}  // namespace vantor

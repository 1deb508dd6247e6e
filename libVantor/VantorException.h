// libVantor/VantorException.h
// The one error vocabulary of the library. Every operation that cannot go on throws a
// VantorException by value: a VantorErrorCodes value that tells the caller what kind of
// failure it was, and a message for the user. It is also catchable as vrk::Exception
// (message only), but not as std::exception. The numeric values are part of the
// interface and never change. Its virtual operations are the destructor and
// getErrorCode, in that order, and no others.
#pragma once
#include <libVantor/Export.h>
#include <libVantor/Types.h>
#include <vrk/Exception.h>

namespace vantor {

enum VantorErrorCodes : u32 {
  ERR_NONE = 0,
  ERR_GENERAL = 1,
  ERR_DISMOUNT_FAILED = 2,
  ERR_MOUNT_FAILED = 3,
  ERR_DISK_ACCESS = 4,
  ERR_VERIFY_MISMATCH = 5,
  ERR_FILE_ACCESS = 6,
  ERR_VOLUME_TOO_LARGE = 7,
  ERR_VOLUME_EXCEEDS_DRIVE = 8,
  ERR_MEDIA_CHANGED = 9,
  ERR_UNSUPPORTED_FILE_SYSTEM = 10,
  ERR_INVALID_IMAGE_FILE = 11,
  ERR_INCOMPATIBLE_IMAGE = 12,
  ERR_INVALID_BOOT_LOADER = 13,
  // 14 is not used.
  ERR_UNSUPPORTED_SECTOR_SIZE = 15,
  ERR_ABORTED = 16,
  ERR_INVALID_ARGUMENT = 17,
};
static_assert(sizeof(VantorErrorCodes) == 4, "error codes are 32-bit values");

// The symbolic name of a code ("ERR_DISK_ACCESS"), or "ERR_UNKNOWN".
VANTOR_EXPORT const char* errorCodeName(VantorErrorCodes code);

class VANTOR_EXPORT VantorException : public vrk::Exception {
 public:
  VantorException() = default;
  explicit VantorException(const vrk::String& message) : vrk::Exception(message) {}
  explicit VantorException(VantorErrorCodes code) : errorCode(code) {}
  VantorException(VantorErrorCodes code, const vrk::String& message) : vrk::Exception(message), errorCode(code) {}
  VantorException(const VantorException&) = default;
  VantorException& operator=(const VantorException&) = default;
  ~VantorException() override;

  virtual VantorErrorCodes getErrorCode() const { return errorCode; }

 private:
  VantorErrorCodes errorCode = ERR_GENERAL;
};

}  // namespace vantor

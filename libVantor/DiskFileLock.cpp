#include <libVantor/DiskFileLock.h>

#include <libVantor/VantorException.h>
#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/PathOps.h>

namespace vantor {

DiskFileLock DiskFileLock::acquire(const std::string& path, bool exclusive) {
  DiskFileLock lock;
  lock.handle_.reset(os::openFile(path, false, true));
  if (!lock.handle_.isValid()) {
    const int error = os::lastSystemError();
    throw VantorException(ERR_FILE_ACCESS,
                          vrk::String("cannot open disk file ") + path + ": " + os::systemErrorText(error));
  }
  bool conflict = false;
  if (!os::lockDiskFile(lock.handle_.get(), exclusive, conflict)) {
    const int error = os::lastSystemError();
    if (conflict) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("disk file ") + path + " is locked by another program " +
                                                 (exclusive ? "using" : "writing") +
                                                 " it (another vantor run?); nothing was done");
    }
    throw VantorException(ERR_FILE_ACCESS,
                          vrk::String("cannot lock disk file ") + path + ": " + os::systemErrorText(error));
  }
  return lock;
}

}  // namespace vantor

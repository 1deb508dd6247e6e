#include <libVantor/WriteSafety.h>

#include <libVantor/VantorException.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/SystemUseOps.h>
#include <libVantor/internal/WriteProtection.h>

namespace vantor {

vrk::String WriteSafety::systemUse(const IDisk& disk) {
  const auto* drive = dynamic_cast<const WinDiskDevice*>(&disk);
  return drive ? os::systemUseOf(drive->getLocator()) : vrk::String();
}

void WriteSafety::refuseUnsafeWrites(const IDisk& disk) {
  if (const auto* drive = dynamic_cast<const WinDiskDevice*>(&disk)) {
    if (!drive->getSystemWritesAllowed()) {
      const vrk::String use = os::systemUseOf(drive->getLocator());
      if (!use.empty()) {
        throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("refusing to write ") + drive->getLocator() +
                                                        ": it holds the running system (" + use + ")");
      }
    }
  }
  if (const auto* file = dynamic_cast<const WinDiskFile*>(&disk)) {
    // Written underneath, a loop device's medium changes as a busy drive's would.
    const vrk::String users = os::loopDevicesBackedBy(file->getPath());
    if (!users.empty()) {
      throw VantorException(ERR_DISMOUNT_FAILED, vrk::String("disk file ") + file->getPath() +
                                                     " is in use by the loop device " + users +
                                                     "; free it first (umount, losetup -d); nothing was written");
    }
  }
  refuseIfWriteProtected(disk);
}

namespace {

// The locator of a drive or the path of a disk file; false for any other disk.
bool whereIs(const IDisk& disk, vrk::String& where, bool& isFile) {
  if (const auto* drive = dynamic_cast<const WinDiskDevice*>(&disk)) {
    where = drive->getLocator();
    isFile = false;
    return true;
  }
  if (const auto* file = dynamic_cast<const WinDiskFile*>(&disk)) {
    where = file->getPath();
    isFile = true;
    return true;
  }
  return false;
}

}  // namespace

bool WriteSafety::shareMedium(const IDisk& a, const IDisk& b) {
  vrk::String aWhere;
  vrk::String bWhere;
  bool aIsFile = false;
  bool bIsFile = false;
  return whereIs(a, aWhere, aIsFile) && whereIs(b, bWhere, bIsFile) &&
         os::shareMedium(aWhere, aIsFile, bWhere, bIsFile);
}

void WriteSafety::refuseImageOnTarget(const vrk::String& image, const IDisk& target, bool restoring) {
  vrk::String locator;
  bool isFile = false;
  if (!whereIs(target, locator, isFile)) return;
  switch (os::overlapOf(image, locator, isFile)) {
    case os::Overlap::None:
      return;
    case os::Overlap::SameFile:
      throw VantorException(ERR_INVALID_ARGUMENT, "the image cannot be the target itself");
    case os::Overlap::BehindLoop:
      throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("the image cannot be the file behind the loop device ") +
                                                      locator);
    case os::Overlap::OnItsVolumes:
      if (!restoring) return;
      throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("the image cannot be read from a volume of ") + locator +
                                                      ", which the restore overwrites");
  }
}

}  // namespace vantor

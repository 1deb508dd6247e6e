// libVantor/internal/Volumes.h
// The volume bookkeeping of one physical drive, shared by a drive object and its copies:
// the volumes' mount points, and the holds that keep the system off the volumes while
// the drive is written (lock, then dismount; mountDrive gives them back through a fresh
// Volumes). After a successful dismountVolumes none of the drive's volumes is mounted
// and nobody else can mount or claim one until the holds are released; the mounts it
// took away are kept here, with where each volume lay on the disk, so that they can be
// made again as they were, and only where the same stretch of the disk is still there.
//
// How a platform locks and dismounts is its own (internal/VolumeOps.h). Choices made:
// - a volume that refuses the lock makes lockVolumes fail, releasing the locks it had
//   taken, so dismountVolumes stops before unmounting anything;
// - when a volume cannot be opened, the mount points gathered so far are cleared with
//   the handles, and openVolumes gathers them afresh whenever it opens the volumes, so
//   the list never holds a mount point twice;
// - the volume list is read afresh whenever the volumes are opened while nothing is
//   held, so a partition the system learnt of since is unmounted and held too;
// - a mount is made again only when its node still opens the same start and size on
//   the disk (a changed partition table may have given the node to another partition);
//   one that does not is logged "241 " and left unmounted;
// - nor when any sector inside the volume was written through the drive (or a copy of
//   it) since this bookkeeping began: the file system there may no longer be the one
//   that was unmounted, and mounting it would write old metadata over new data. Such a
//   volume is logged "243 " and left unmounted; a write outside every volume (the MBR,
//   the backup sector, the gap before the first partition) keeps nothing unmounted. A
//   mount whose volume's extent was not known is made again only when nothing was written.
// No locks: used from one thread at a time; the two flags change by atomic exchange.
#pragma once
#include <atomic>
#include <map>
#include <memory>

#include <libVantor/internal/SysHost.h>
#include <libVantor/internal/VolumeOps.h>
#include <vrk/Array.h>
#include <vrk/Resource.h>
#include <vrk/String.h>

namespace vantor {

class Volumes {
 public:
  explicit Volumes(std::shared_ptr<libSysHost::WindowsDrive> drive);
  Volumes(const Volumes&) = delete;
  Volumes& operator=(const Volumes&) = delete;
  ~Volumes();

  // Lists the drive's volumes, read afresh from the system, and their mount directories,
  // checking that each volume node opens (the node is not kept open: only a lock holds
  // it). True at once while a volume is held (locked or dismounted); false (logged
  // "133 ", nothing kept) when a volume cannot be opened.
  bool openVolumes();
  bool lockVolumes();
  // False (logged "82 ") at the first volume that holds no lock.
  bool unlockVolumes();
  // False (logged "96 ", naming the volume and its mount point, then "95 ") when a
  // volume cannot be unmounted or claimed; everything it had unmounted is then mounted
  // back and every hold released.
  bool dismountVolumes();

  // Drops every hold (this ends the locks); the volumes stay unmounted where the system
  // does not mount them again by itself.
  void releaseHandles();
  // Mounts back, in their original order, the mounts dismountVolumes took away, and
  // forgets them (also when it is interrupted). A mount whose node now lies elsewhere on
  // the disk is skipped (logged "241 "); one that cannot be made again is logged "240 ".
  // A skipped volume is kept from coming back by itself (os::keepUnmounted), which on a
  // system that mounts volumes again itself needs the holds: there it runs before
  // releaseHandles.
  void mountBack();
  void clearDismounted() { dismounted.exchange(false); }
  // Notes that bytes [firstByte, firstByte + byteCount) of the drive were (or may have
  // been) written.
  void noteWritten(u64 firstByte, u64 byteCount);

  const vrk::Array<vrk::String>& getMountPoints() const { return mountPoints; }

 private:
  void releaseLocks();
  bool wasWritten(const libSysHost::VolumeExtent& extent) const;
  bool holdsAny() const;

  vrk::Array<vrk::String> mountPoints;
  vrk::Array<os::VolumeHold> volumeHandles;
  std::atomic<bool> locked{false};
  std::atomic<bool> dismounted{false};
  std::shared_ptr<libSysHost::WindowsDrive> drive;
  vrk::Array<os::UnmountedMount> unmounted;  // in the order they were unmounted
  std::map<u64, u64> written;       // byte ranges written, first -> end, never touching
};

}  // namespace vantor

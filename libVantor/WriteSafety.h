// libVantor/WriteSafety.h
// What every writing service of the library (restore, zeroing, the MBR writes, the boot
// key) checks before it dismounts or writes anything, and what a host asks before it
// takes a drive's volumes away itself. A drive that holds the running system is refused:
//  - Linux: a mounted /, /boot, /boot/efi, /usr or /var, or active swap, on the drive,
//    one of its partitions, or anything stacked on them (device mapper, RAID, a loop
//    device backed by a file on them), from the mount table and the swap table;
//  - Windows: the volume of the Windows folder (the boot volume), the system partition
//    the system booted from, and the volumes holding a page file, the crash-dump file or
//    the hibernation file.
// A question the system cannot answer (an unreadable mount table, a volume that cannot
// be asked where it lies) counts as holding the system: nothing tells the drive is free.
// A disk file never holds the system, but one that backs a loop device is that device's
// medium and is refused too. The tables are read afresh on each call; nothing is cached.
// Failures throw VantorException; no locking.
#pragma once
#include <libVantor/Export.h>
#include <libVantor/IDisk.h>
#include <vrk/String.h>

namespace vantor {

class VANTOR_EXPORT WriteSafety {
 public:
  // Why `disk` holds the running system, in words ("/ is mounted from /dev/sda2"), or ""
  // when it does not. Only a physical drive (WinDiskDevice) can.
  static vrk::String systemUse(const IDisk& disk);

  // Throws ERR_INVALID_ARGUMENT "refusing to write LOCATOR: it holds the running system
  // (REASON)" for a drive that holds it, unless the drive allows it
  // (WinDiskDevice::setSystemWritesAllowed); ERR_DISMOUNT_FAILED for a disk file that
  // backs a loop device, naming the devices; ERR_DISK_ACCESS for a write-protected drive
  // or one without a medium.
  static void refuseUnsafeWrites(const IDisk& disk);

  // Refuses, with ERR_INVALID_ARGUMENT, an image file at `image` that is `target`'s own
  // medium: the disk file itself, the file behind a loop device, or (when `restoring`,
  // since the image is then read while the drive is written) a file on one of the target
  // drive's volumes. An image that does not exist yet overlaps nothing.
  static void refuseImageOnTarget(const vrk::String& image, const IDisk& target, bool restoring);

  // Whether two disks would write one medium: the same drive or disk file, a drive and
  // one of its partitions or what is stacked on it, a loop device and the file behind it
  // (or two over one file), or a disk file lying on the other's volumes. Disks other than
  // drives and disk files share nothing.
  static bool shareMedium(const IDisk& a, const IDisk& b);
};

}  // namespace vantor

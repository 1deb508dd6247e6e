// libVantor/DiskImager.h
// The caller's handle for the three long operations on one drive: capturing its used
// sectors into an image file, writing an image back (optionally verified by reading
// every chunk back), and zeroing it, whole or in ranges. Each operation runs on a worker
// thread of its own; the caller polls done(), percentComplete() and errorEncountered(),
// or listens through observers, and may ask it to stop with abort().
//
// Threads and locks: the facade is used from one thread. Its state is shared with the
// worker and outlives a facade destroyed mid-operation (the worker finishes on it; the
// observers are deleted when the last holder goes). One re-entrant lock guards that
// state and every observer call. A capture or a restore moves its chunks through a drive
// thread of its own, which alone touches the drive while it runs (a drive is never used
// by two threads at once); the worker does the image file's side and every notification,
// and waits for the drive thread before the operation's closing notification. A capture
// finishes once its image file is on the medium (flushed), not merely handed to the
// system.
//
// Failures inside an operation never reach the caller as exceptions: they end in
// finishedWithError and a stored error, which throwIfError() turns back into a
// VantorException. Exceptions that do reach the caller: those of the
// compatibility check of startWritingImage (codes 7, 11, 12).
//
// Typical use:
//   DiskImager imager(device);
//   imager.registerObserver(new CLImagingObserver);  // the engine deletes it
//   imager.startReadingImage("disk.img", true, false);
//   imager.throwIfError();
//
// Choices: any exception other than VantorException leaving an operation ends it as
// finishedWithError(ERR_GENERAL, its text), so done() always becomes true. Zeroing stops
// at a chunk boundary on abort() like capture and restore (ends with abortedByUser,
// the drive left dismounted, as an aborted restore leaves it). A start after an abort
// first waits for the previous worker to end: two workers never share the state; a start
// asked for from inside a notification (on the worker itself) answers false. Restore
// refuses, before writing anything, a damaged image (records outside the file, totals
// that do not add up, bytes after the last record), and an image with used sectors past
// the end of the drive even under ALLOW_VOLUME_TOO_LARGE: that setting accepts a drive
// smaller than the image's volume, never a write past the drive's end. Zeroing refuses
// every range on a drive that reports no sectors. When onImageWritten throws, the drive is
// mounted again (every sector was written) and the failure ends the restore.
#pragma once
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/DiskDevice.h>
#include <libVantor/Export.h>
#include <libVantor/IDiskImagingObserver.h>
#include <libVantor/VantorException.h>

namespace vrk {
class ManagedThread;
}

namespace vantor {

class DiskImagerImp;

// What getImageInfo reports on an image file.
struct DISK_IMAGE_INFO {
  u64 requiredCapacity;  // bytes a target drive must hold: (highestVolumeSector + 1) * sectorSize
  u32 sectorSize;
  u16 majorVersion;
  u16 minorVersion;
};

class VANTOR_EXPORT DiskImager {
 public:
  enum VolumeTooLargeBehavior : u32 {
    ALLOW_VOLUME_TOO_LARGE = 0,
    FAIL_ON_VOLUME_TOO_LARGE = 1,
  };

  explicit DiskImager(DiskDevice& device);
  ~DiskImager();
  DiskImager(const DiskImager&) = delete;
  DiskImager& operator=(const DiskImager&) = delete;

  // Reads an image file's header. False, `info` untouched and a log record, for a file
  // that is missing, shorter than a header, or not a valid image.
  static bool getImageInfo(const vrk::String& imageFile, DISK_IMAGE_INFO& info);
  // Holds an image against this drive: same sector size, enough capacity. Clears
  // `compatible` (preset it to true) on a mismatch. False when the image could not be
  // read. Throws as documented in the implementation; a too-small drive throws
  // ERR_VOLUME_TOO_LARGE unless ALLOW_VOLUME_TOO_LARGE is set.
  bool checkImageCompatibility(const vrk::String& imageFile, bool& compatible, bool throwOnError) const;

  // Each start answers false, and starts nothing, while an operation runs. With
  // waitForCompletion the call returns after the operation's closing notification.
  bool startReadingImage(const vrk::String& imageFile, bool waitForCompletion, bool wholeDrive);
  // Runs checkImageCompatibility on the caller's thread first; what it throws reaches
  // the caller and nothing starts. `onImageWritten` is called on the worker with the
  // drive once every chunk was written (and verified).
  bool startWritingImage(const vrk::String& imageFile, bool waitForCompletion, bool wholeDrive, bool verify,
                         std::function<void(std::shared_ptr<IDisk>)> onImageWritten);
  // Zeroes the whole drive, or each inclusive {first, last} sector range in the order
  // given (neither sorted nor merged; an empty list zeroes nothing).
  bool startZeroingDisk(bool waitForCompletion, boost::optional<std::vector<std::pair<u64, u64>>> ranges);

  // Asks the running operation to stop at its next chunk; done() is true at once.
  void abort();
  bool done() const;
  unsigned char percentComplete() const;
  // Waits until the worker of the current or last operation has ended and delivered
  // its closing notification (also after abort()); returns at once when none runs.
  void join();
  // The last failure stored (never cleared by a later success); false when none.
  bool errorEncountered(VantorErrorCodes& code, vrk::String& message) const;
  void throwIfError() const;
  // Takes ownership of `observer`.
  void registerObserver(IDiskImagingObserver* observer);
  void setVolumeTooLargeBehavior(VolumeTooLargeBehavior behavior);

 private:
  struct StartRequest;
  bool start(StartRequest&& request, bool waitForCompletion);

  bool allowVolumeBeyondDrive = false;
  std::shared_ptr<DiskImagerImp> impl;
  std::unique_ptr<vrk::ManagedThread> thread;
};

}  // namespace vantor

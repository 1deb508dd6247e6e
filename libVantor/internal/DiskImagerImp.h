// libVantor/internal/DiskImagerImp.h
// The state of one imaging engine, shared by the DiskImager facade and the worker of
// the running operation; it lives until the last of them lets go, and then deletes its
// observers. `lock` (re-entrant) guards the members marked VRK_GUARDED_BY(lock) and
// every call to an observer, which Clang's thread-safety analysis checks. It also
// serialises the writes of state and percent, which the analysis cannot check: they
// are read without the lock by done(), percentComplete() and the worker's abort test,
// hence atomic.
// The notify operations take the lock for their whole run; observers may call back
// into the facade (abort, registerObserver) from inside a notification. Nothing an
// observer throws reaches the operation: each operation ends with exactly one closing
// notification whatever its observers do.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include <libVantor/CompressedSource.h>
#include <libVantor/DiskDevice.h>
#include <libVantor/IDiskImagingObserver.h>
#include <libVantor/VantorException.h>
#include <vrk/RecursiveMutex.h>
#include <vrk/Thread.h>
#include <vrk/ThreadSafety.h>

namespace vantor {

class DiskImagerImp {
 public:
  enum State : u32 { IMAGER_IDLE = 0, IMAGER_RUNNING = 1, IMAGER_ABORTED = 2, IMAGER_FINISHED = 3 };

  explicit DiskImagerImp(const DiskDevice& device) : device(device) {}
  DiskImagerImp(const DiskImagerImp&) = delete;
  DiskImagerImp& operator=(const DiskImagerImp&) = delete;

  // Passes `p` to the observers when it differs from the last percentage passed.
  void notifyProgress(unsigned char p);
  void notifyStarted();
  void notifyFinished();
  // State aborted, percent 100, abortedByUser() on every observer.
  void notifyAborted();
  // State finished, finishedWithError() on every observer, then the error is stored.
  void notifyError(VantorErrorCodes code, const vrk::String& message);
  // Throws VantorException(ERR_ABORTED) when an abort was asked for.
  void throwIfAbortRequested() const;
  void addObserver(IDiskImagingObserver* observer);

  std::atomic<u32> state{IMAGER_IDLE};
  std::atomic<unsigned char> percent{0};
  mutable vrk::RecursiveMutex lock;
  DiskDevice device;
  VantorErrorCodes errorCode VRK_GUARDED_BY(lock) = ERR_NONE;
  vrk::String errorMessage VRK_GUARDED_BY(lock);

 private:
  // Calls `notify` on every observer registered when the call began, in order; an
  // observer that throws is logged ("431 ", naming `notification`) and passed over.
  void forEachObserver(const char* notification, const std::function<void(IDiskImagingObserver&)>& notify)
      VRK_REQUIRES(lock);

  std::vector<std::unique_ptr<IDiskImagingObserver>> observers VRK_GUARDED_BY(lock);
};

struct ImagingThreadData;

// The body of one operation, run on the worker thread. Throws VantorException to end
// the operation with an error (ERR_ABORTED for an abort).
using ImagingWorker = std::function<void(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>&, IDisk&,
                                         const vrk::String&, ImagingThreadData&)>;

// What a start hands to the worker thread; owned by the thread body from then on.
struct ImagingThreadData {
  ImagingWorker worker;
  std::shared_ptr<DiskImagerImp> engine;
  vrk::String imagePath;  // empty for zeroing
  bool wholeDrive = false;
  bool allowVolumeBeyondDrive = false;
  bool verify = false;
  // The drive may run ahead of the notifications (DiskImager::TRANSFER_STREAMING);
  // otherwise each chunk's transfer waits until the one before was reported.
  bool streaming = false;
  // A capture maps every volume (DiskImager::COVER_EVERY_VOLUME), not only FAT ones.
  bool everyVolume = false;
  // The image's checksum file is made (capture) or held against (restore, verify); a
  // capture with it goes through ImageCommit, replacing an existing image when
  // `replaceImage` (DiskImager::setImageChecksums).
  bool checksums = false;
  bool replaceImage = false;
  // A capture writes a compressed image at this zstd level (DiskImager::setImageCompression); 0: a plain one.
  int compressionLevel = 0;
  std::function<void(std::shared_ptr<IDisk>)> onImageWritten;
  // A restore or a verify from a raw source: the disk read instead of an image file (by
  // the worker alone while the operation runs), and whether every sector of it is taken
  // (DiskImager::SOURCE_EVERY_SECTOR) or only the used ones.
  std::shared_ptr<IDisk> source;
  bool everySector = false;
  // A restore or a verify from a compressed image shared with other imagers: this
  // operation's reader (none: the worker opens the image at imagePath for itself). For an
  // image of our own, the group's opening of it (Group::image()) is read.
  std::shared_ptr<CompressedSource> compressed;
  // The decompressed size the compressed image states (0: it states none), as the start
  // found it when it checked the image against the drive.
  u64 statedBytes = 0;
};

// The operation bodies.
void captureImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                  const vrk::String& imagePath, ImagingThreadData& data);
void writeImageFileToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                          const vrk::String& imagePath, ImagingThreadData& data);
void verifyDiskAgainstImage(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                            const vrk::String& imagePath, ImagingThreadData& data);
// The same two from a raw source (ImagingThreadData::source) in place of an image file.
void writeDiskToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                     const vrk::String& unused, ImagingThreadData& data);
void verifyDiskAgainstDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                           const vrk::String& unused, ImagingThreadData& data);
// The same two from a compressed disk image (DiskImager::startWritingCompressed).
void writeStreamToDisk(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                       const vrk::String& path, ImagingThreadData& data);
void verifyDiskAgainstStream(vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine, IDisk& disk,
                             const vrk::String& path, ImagingThreadData& data);
// The refusals of a compressed source before anything is written; answers the bytes its
// file states it holds, else 0.
u64 checkCompressedSource(const vrk::String& path, IDisk& disk, bool forWriting);
// Streaming, the chunks go to the drive in requests of up to 4 MiB.
void zeroDisk(const boost::optional<std::vector<std::pair<u64, u64>>>& ranges, DiskImagerImp& engine,
              IDisk& disk, bool streaming);

// Chunk buffers between the drive thread and the worker: `streamingSlots` when the
// drive may run ahead, else one, so that a chunk's transfer waits for the report of
// the one before (and for the abort test after it).
inline std::size_t chunkRingSlots(const ImagingThreadData& data, std::size_t streamingSlots) {
  return data.streaming ? streamingSlots : 1;
}

// Sectors done × 100 / total in 64-bit integers; 0 for a total of 0.
inline unsigned char percentOf(u64 done, u64 total) {
  return total == 0 ? 0 : static_cast<unsigned char>(done * 100 / total);
}

}  // namespace vantor

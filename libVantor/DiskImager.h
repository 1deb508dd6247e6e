// libVantor/DiskImager.h
// The caller's handle for the long operations on one drive: capture into an image file,
// restore (optionally verified), verify against an image, and zeroing. Each runs on a
// worker thread; the caller polls done() and percentComplete() or listens through
// observers (the engine owns and deletes them), may abort(), and reads the outcome with
// errorEncountered() or throwIfError(). Failures end the operation with one closing
// notification and a stored error; only the compatibility check that restore and verify
// run before they start throws to the caller (ERR_VOLUME_TOO_LARGE, ERR_INVALID_IMAGE_FILE,
// ERR_INCOMPATIBLE_IMAGE). The state outlives a facade destroyed mid-operation.
//
// Choices: any other exception leaving an operation ends it as ERR_GENERAL; zeroing
// honours abort() at chunk boundaries; a start waits for a previous worker to end, and
// one asked for from inside a notification answers false; restore refuses a damaged
// image, and used sectors past the drive's end, before it writes; whole-drive capture
// and zeroing refuse drives past 32-bit sector numbers; a drive that refuses writes is
// refused before its volumes are touched; a restore writes sector 0 last, once every other
// sector is on the drive, so one that fails or is aborted leaves the old partition table
// (over partly new data) and never a new table over old data.
//
// Threads: a capture, a restore or a verify moves its chunks through a drive thread of
// its own, which alone touches the drive while it runs (a drive is never used by two
// threads at once); the worker does the image file's side and every notification, and
// waits for the drive thread before the closing notification. A capture finishes once
// its image file is on the medium (flushed), not merely handed to the system.
#pragma once
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <libVantor/CompressedSource.h>
#include <libVantor/DiskDevice.h>
#include <libVantor/DriveVolumes.h>
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

class VANTOR_EXPORT DiskImager final {
 public:
  enum VolumeTooLargeBehavior : u32 {
    ALLOW_VOLUME_TOO_LARGE = 0,
    FAIL_ON_VOLUME_TOO_LARGE = 1,
  };
  // How far a capture's, a restore's or a verify's drive transfers may run ahead of the
  // progress notifications.
  enum TransferMode : u32 {
    // The behaviour of a new imager: each chunk reaches the drive only once the chunk
    // before it was reported, so an observer that calls abort() from the progress
    // notification of chunk k stops the operation before chunk k+1 is read or written.
    TRANSFER_CHUNK_BY_CHUNK = 0,
    // The drive runs up to a few MiB of chunks ahead of the notifications (reading ahead
    // on a capture or a verify, writing ahead on a restore), so that it never waits for
    // the image file or an observer; an abort stops the drive at its next chunk, which
    // may lie past the last chunk reported. Progress stays per chunk, in order.
    TRANSFER_STREAMING = 1,
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
  // Compares the drive with an image, run by run, without writing: the drive must hold
  // every sector the image holds, as restore --verify would have left it (other sectors
  // are not looked at). Runs checkImageCompatibility on the caller's thread first, as a
  // restore does. A difference ends it with ERR_VERIFY_MISMATCH naming the first chunk
  // that differs; a damaged image with restore's refusal.
  bool startVerifyingImage(const vrk::String& imageFile, bool waitForCompletion);
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
  // Taken by each operation at its start; any other value is ignored.
  void setTransferMode(TransferMode mode);
  // Which volumes a capture maps to their used sectors.
  enum VolumeCoverage : u32 {
    // The behaviour of a new imager: an MBR of FAT16 and FAT32 volumes; any other entry
    // (another type, an extended partition, a GPT's protective entry) fails the capture
    // with ERR_UNSUPPORTED_FILE_SYSTEM.
    COVER_FAT_VOLUMES = 0,
    // Any drive: MBR with logical volumes, GPT, or a file system on the whole drive; FAT,
    // exFAT, NTFS and ext2/3/4 volumes by their content; every other volume copied whole
    // (DriveVolumes tells a host which, and why). A restore of a GPT image then makes the
    // backup table anew at the target's own end (a target of another size), and needs
    // room only for the partitions and that table; a verify leaves that table out.
    COVER_EVERY_VOLUME = 1,
  };
  // Taken by each capture, restore and verify at its start; any other value is ignored.
  void setVolumeCoverage(VolumeCoverage coverage);
  // Whether capture, restore and verify use the image's checksum file (ImageChecksums).
  enum ImageChecksumUse : u32 {
    // The behaviour of a new imager: no checksum file is made or read, and a capture
    // writes straight into the file it is given.
    CHECKSUMS_OFF = 0,
    // A capture writes the image beside IMAGE under a temporary name, digests each chunk
    // as it passes, and puts the image and IMAGE.sums in place durably once both are
    // whole (see ImageCommit): a capture that fails, or is given up, leaves neither, and
    // an existing IMAGE fails the capture (ERR_FILE_ACCESS) before anything is read. A
    // restore or a verify holds the image's header and run table against IMAGE.sums
    // before it touches the drive, and each chunk before it uses it; a disagreement, or
    // a checksum file that is unusable, ends it with ERR_INVALID_IMAGE_FILE and
    // ImageChecksums::message's words. An image without IMAGE.sums is not held.
    CHECKSUMS_ON = 1,
    // As CHECKSUMS_ON, and a capture replaces an existing IMAGE that is a regular file.
    CHECKSUMS_ON_REPLACING = 2,
  };
  // Taken by each capture, restore and verify at its start; any other value is ignored.
  void setImageChecksums(ImageChecksumUse use);
  // A capture's image file: plain (level 0, the behaviour of a new imager) or compressed
  // with zstd at `level` 1 to 19 (docs/compressed_image.md): the same image, cut into
  // independent frames of 4 MiB compressed on two threads of their own, and a seek table
  // at the end, so that restore, verify and ImageDisk read it at any offset, taking it
  // by its content. The checksum file is that of the image itself, as for a plain one.
  // Taken by each capture at its start. Throws ERR_INVALID_ARGUMENT for another level,
  // and for any level but 0 in a build that cannot compress images.
  void setImageCompression(int level);
  // The level to offer when a host asks for compression without one: with the frames
  // above, no larger than zstd's default level makes of the image as one stream, at that
  // level's speed.
  static constexpr int DEFAULT_IMAGE_COMPRESSION = 4;

  // Raw sources: a disk whose sectors lie as on a drive (a disk file holding a whole disk,
  // MBR or GPT or a file system with no table, or another drive), written onto this
  // drive or compared with it as an image would be: the same worker, notifications,
  // progress, abort, verify, failures and messages, sector 0 written last, and a GPT's
  // backup table made anew at this drive's end. Only the source's used sectors are taken,
  // as a capture covering every volume maps them, unless SOURCE_EVERY_SECTOR.
  // Refused before anything is written (throwing from the check, ending the operation
  // from the start): a source of another sector size (ERR_INCOMPATIBLE_IMAGE); one that
  // holds neither a table nor a file system the mappers know, unless every sector is
  // taken (ERR_UNSUPPORTED_FILE_SYSTEM); a volume past this drive's end, unless
  // ALLOW_VOLUME_TOO_LARGE, or any sector to take past it (ERR_VOLUME_TOO_LARGE), so a
  // larger source passes when nothing it maps lies past this drive's end; a source that
  // is this drive's own medium (ERR_INVALID_ARGUMENT); a drive that may not be written,
  // as for a restore. A source read fails with ERR_DISK_ACCESS naming the chunk.
  // The worker alone reads the source while the operation runs: the caller gives each
  // imager a source of its own and leaves it alone until the operation has ended.
  enum SourceSectors : u32 {
    SOURCE_USED_SECTORS = 0,  // the behaviour of a new imager
    SOURCE_EVERY_SECTOR = 1,
  };
  // Taken by each restore and verify from a raw source at its start; any other value is ignored.
  void setSourceSectors(SourceSectors which);
  // What a raw source holds (its table, volumes and used sectors); throws
  // ERR_UNSUPPORTED_FILE_SYSTEM for a disk with neither a table nor a file system the
  // mappers know, and as DriveVolumes::ofDisk for a damaged table.
  static DRIVE_LAYOUT getSourceLayout(IDisk& source);
  // Runs every refusal above against this drive on the caller's thread and answers the
  // sectors the operation would take. Reads the source.
  u64 checkSourceCompatibility(IDisk& source, bool forWriting) const;
  // Runs checkSourceCompatibility first; what it throws reaches the caller and nothing starts.
  bool startWritingDisk(std::shared_ptr<IDisk> source, bool waitForCompletion, bool verify,
                        std::function<void(std::shared_ptr<IDisk>)> onImageWritten);
  // Compares the drive with the source's sectors that a restore from it writes.
  bool startVerifyingDisk(std::shared_ptr<IDisk> source, bool waitForCompletion);

  // Compressed sources: a file holding a whole disk compressed with gzip, xz, zstd or
  // bzip2, or a zip archive of one such file, told by its first bytes. Its decompressed
  // bytes are the drive's sectors from sector 0 on (a last partial sector is padded with
  // zeros); it is decompressed as it is written, in bounded memory, and written whole,
  // since what its volumes use is only known once it is read. The same worker,
  // notifications, progress, abort, verify (each chunk read back and compared as it is
  // written, so the image is decompressed once), failures and messages as for an image,
  // sector 0 written last, and a GPT's backup moved to this drive's end.
  // Refused before anything is written (from the check, or from the operation's start):
  // a stream whose start does not decode, a zip of several files or none
  // (ERR_INVALID_IMAGE_FILE); a stream that holds a captured image (ERR_INVALID_IMAGE_FILE:
  // decompress it first); a stream whose file states a size past this drive's end (xz,
  // zip, or a zstd frame of its own) (ERR_VOLUME_TOO_LARGE); a file that lies on this
  // drive; a drive that may not be written, as for a restore. A stream whose file does
  // not state its size (gzip, bzip2, zstd) and that goes on past this drive's end, and
  // damage found mid-stream, end the operation with the error, sector 0 unwritten.
  // A compressed image of this library's own (setImageCompression) is no such source: it
  // is an image file, and each call below takes it as the matching image call does
  // (checkImageCompatibility, startWritingImage, startVerifyingImage); from readers of
  // it, the operations share its frames, each decompressed once.
  // "gzip", "xz", "zstd", "bzip2" or "zip" for a compressed file; "" for any other, a
  // compressed image of this library's own among them.
  static const char* compressionOf(const vrk::String& path);
  // The bytes a compressed source holds when its file states it, else 0; throws as the
  // check does for a stream whose start does not decode.
  static u64 compressedSizeOf(const vrk::String& path);
  // Runs the refusals above on the caller's thread (decoding the stream's first chunk)
  // and answers the bytes the stream holds when its file states it, else 0.
  u64 checkCompressedSource(const vrk::String& path, bool forWriting) const;
  bool startWritingCompressed(const vrk::String& path, bool waitForCompletion, bool verify,
                              std::function<void(std::shared_ptr<IDisk>)> onImageWritten);
  // Compares the drive's first sectors with the decompressed stream.
  bool startVerifyingCompressed(const vrk::String& path, bool waitForCompletion);
  // The same two from one reader of a compressed image written onto (or compared with)
  // several drives at once (CompressedSource::readersOf), decompressed once for them all. A
  // reader serves one operation: once it has ended, the reader has left its group.
  bool startWritingCompressed(std::shared_ptr<CompressedSource> reader, bool waitForCompletion, bool verify,
                              std::function<void(std::shared_ptr<IDisk>)> onImageWritten);
  bool startVerifyingCompressed(std::shared_ptr<CompressedSource> reader, bool waitForCompletion);

 private:
  struct StartRequest;
  bool start(StartRequest&& request, bool waitForCompletion);

  bool allowVolumeBeyondDrive = false;
  TransferMode transferMode = TRANSFER_CHUNK_BY_CHUNK;
  VolumeCoverage volumeCoverage = COVER_FAT_VOLUMES;
  ImageChecksumUse checksumUse = CHECKSUMS_OFF;
  int compressionLevel = 0;
  SourceSectors sourceSectors = SOURCE_USED_SECTORS;
  std::shared_ptr<DiskImagerImp> impl;
  std::unique_ptr<vrk::ManagedThread> thread;
};

}  // namespace vantor

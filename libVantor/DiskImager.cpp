#include <libVantor/DiskImager.h>

#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/CompressedStream.h>
#include <libVantor/internal/DiskImagerImp.h>
#include <libVantor/internal/ImageBytes.h>
#include <libVantor/internal/ImageCompressor.h>
#include <libVantor/internal/ImageFormat.h>
#include <libVantor/internal/RawSourcePlan.h>
#include <vrk/Files.h>
#include <vrk/Log.h>
#include <vrk/MutexLock.h>
#include <vrk/Thread.h>

namespace vantor {
namespace {

const vrk::Logger& logger() {
  static const vrk::Logger& l = vrk::LogFactory::createLogger("vantor.DiskImager");
  return l;
}

// The engine whose worker runs on this thread, if any: a start asked for from inside a
// notification is refused (it would have to wait for the thread it runs on).
thread_local const DiskImagerImp* workerEngine = nullptr;

// The worker's top frame: brackets the operation with its notifications and turns
// whatever the body throws into exactly one closing notification.
int imagingThreadMain(vrk::ManagedThread& thread) {
  std::unique_ptr<ImagingThreadData> data(static_cast<ImagingThreadData*>(thread.getContext()));
  std::shared_ptr<DiskImagerImp> engine = data->engine;
  IDisk& disk = engine->device.rawDisk();
  workerEngine = engine.get();
  engine->notifyStarted();
  try {
    data->worker(&thread, engine, disk, data->imagePath, *data);
    engine->notifyFinished();
  } catch (const VantorException& e) {
    if (e.getErrorCode() == ERR_ABORTED) {
      engine->notifyAborted();
    } else {
      engine->notifyError(e.getErrorCode(), e.getMessage());
    }
  } catch (const vrk::Exception& e) {
    engine->notifyError(ERR_GENERAL, e.getMessage());
  } catch (const std::exception& e) {
    engine->notifyError(ERR_GENERAL, e.what());
  } catch (...) {
    engine->notifyError(ERR_GENERAL, "Unexpected failure");
  }
  workerEngine = nullptr;
  data.reset();
  engine.reset();
  return 0;
}

vrk::String capacityText(u64 bytes, bool longForm) {
  vrk::NonDiscreteMeasurement m(static_cast<double>(bytes));
  if (longForm) {
    m.setPreferredMagnitude(3);  // GiB
    return m.toString(2).getLowerByteString();
  }
  return m.toString(1).getLowerByteString();
}

}  // namespace

struct DiskImager::StartRequest {
  ImagingWorker worker;
  vrk::String imagePath;
  bool wholeDrive = false;
  bool verify = false;
  std::function<void(std::shared_ptr<IDisk>)> onImageWritten;
  std::shared_ptr<IDisk> source;
  std::shared_ptr<CompressedSource> compressed;
  u64 statedBytes = 0;
};

DiskImager::DiskImager(DiskDevice& device) : impl(std::make_shared<DiskImagerImp>(device)) {}

DiskImager::~DiskImager() {
  // The worker, if one runs, keeps the state (and the observers) alive until it ends.
  thread.reset();
  impl.reset();
}

bool DiskImager::start(StartRequest&& request, bool waitForCompletion) {
  if (workerEngine == impl.get()) return false;  // called from this engine's own worker
  {
    vrk::MutexLock guard(impl->lock);
    if (impl->state == DiskImagerImp::IMAGER_RUNNING) return false;
  }
  // A worker still winding down after an abort ends before a new one starts. Joined
  // outside the lock: its closing notification needs it.
  if (thread) thread->join();

  auto data = std::make_unique<ImagingThreadData>();
  data->worker = std::move(request.worker);
  data->engine = impl;
  data->imagePath = request.imagePath;
  data->wholeDrive = request.wholeDrive;
  data->allowVolumeBeyondDrive = allowVolumeBeyondDrive;
  data->verify = request.verify;
  data->streaming = transferMode == TRANSFER_STREAMING;
  data->everyVolume = volumeCoverage == COVER_EVERY_VOLUME;
  data->checksums = checksumUse != CHECKSUMS_OFF;
  data->replaceImage = checksumUse == CHECKSUMS_ON_REPLACING;
  data->compressionLevel = compressionLevel;
  data->onImageWritten = std::move(request.onImageWritten);
  data->source = std::move(request.source);
  data->compressed = std::move(request.compressed);
  data->statedBytes = request.statedBytes;
  data->everySector = sourceSectors == SOURCE_EVERY_SECTOR;

  vrk::ManagedThread* started = nullptr;
  {
    vrk::MutexLock guard(impl->lock);
    if (impl->state == DiskImagerImp::IMAGER_RUNNING) return false;
    thread = std::make_unique<vrk::ManagedThread>(imagingThreadMain, data.get());
    impl->state = DiskImagerImp::IMAGER_RUNNING;
    started = thread.get();
  }
  ImagingThreadData* handedOver = data.release();  // the thread body owns it from here
  if (!started->run()) {
    data.reset(handedOver);
    impl->notifyError(ERR_GENERAL, "Could not start the worker thread");
    return true;
  }
  if (waitForCompletion) started->join();
  return true;
}

bool DiskImager::startReadingImage(const vrk::String& imageFile, bool waitForCompletion, bool wholeDrive) {
  StartRequest request;
  request.worker = captureImage;
  request.imagePath = imageFile;
  request.wholeDrive = wholeDrive;
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startWritingImage(const vrk::String& imageFile, bool waitForCompletion, bool wholeDrive, bool verify,
                                   std::function<void(std::shared_ptr<IDisk>)> onImageWritten) {
  bool compatible = true;
  (void)checkImageCompatibility(imageFile, compatible, true);
  StartRequest request;
  request.worker = writeImageFileToDisk;
  request.imagePath = imageFile;
  request.wholeDrive = wholeDrive;
  request.verify = verify;
  request.onImageWritten = std::move(onImageWritten);
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startVerifyingImage(const vrk::String& imageFile, bool waitForCompletion) {
  bool compatible = true;
  (void)checkImageCompatibility(imageFile, compatible, true);
  StartRequest request;
  request.worker = verifyDiskAgainstImage;
  request.imagePath = imageFile;
  return start(std::move(request), waitForCompletion);
}

DRIVE_LAYOUT DiskImager::getSourceLayout(IDisk& source) { return recognisedLayoutOf(source); }

u64 DiskImager::checkSourceCompatibility(IDisk& source, bool forWriting) const {
  IDisk& target = impl->device.rawDisk();
  if (forWriting) refuseSourceOnTarget(source, target);
  return planRawSource(source, target, sourceSectors == SOURCE_EVERY_SECTOR, allowVolumeBeyondDrive).totalSectors;
}

bool DiskImager::startWritingDisk(std::shared_ptr<IDisk> source, bool waitForCompletion, bool verify,
                                  std::function<void(std::shared_ptr<IDisk>)> onImageWritten) {
  if (!source) throw VantorException(ERR_INVALID_ARGUMENT, "no source disk given");
  (void)checkSourceCompatibility(*source, true);
  StartRequest request;
  request.worker = writeDiskToDisk;
  request.verify = verify;
  request.onImageWritten = std::move(onImageWritten);
  request.source = std::move(source);
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startVerifyingDisk(std::shared_ptr<IDisk> source, bool waitForCompletion) {
  if (!source) throw VantorException(ERR_INVALID_ARGUMENT, "no source disk given");
  (void)checkSourceCompatibility(*source, false);
  StartRequest request;
  request.worker = verifyDiskAgainstDisk;
  request.source = std::move(source);
  return start(std::move(request), waitForCompletion);
}

const char* DiskImager::compressionOf(const vrk::String& path) {
  const CompressedStream::Kind kind = CompressedStream::kindOfFile(path);
  if (kind == CompressedStream::ZSTD && ImageBytes::holdsCompressedImage(path)) return "";
  return CompressedStream::nameOf(kind);
}

u64 DiskImager::compressedSizeOf(const vrk::String& path) {
  if (ImageBytes::holdsCompressedImage(path)) return ImageBytes(path).size();
  CompressedStream stream(path);
  u8 first = 0;
  (void)stream.read(&first, 1);
  return stream.size().value_or(0);
}

u64 DiskImager::checkCompressedSource(const vrk::String& path, bool forWriting) const {
  if (ImageBytes::holdsCompressedImage(path)) {
    bool compatible = true;
    (void)checkImageCompatibility(path, compatible, true);
    return ImageBytes(path).size();
  }
  return vantor::checkCompressedSource(path, impl->device.rawDisk(), forWriting);
}

bool DiskImager::startWritingCompressed(const vrk::String& path, bool waitForCompletion, bool verify,
                                        std::function<void(std::shared_ptr<IDisk>)> onImageWritten) {
  if (ImageBytes::holdsCompressedImage(path)) {
    return startWritingImage(path, waitForCompletion, false, verify, std::move(onImageWritten));
  }
  StartRequest request;
  request.statedBytes = checkCompressedSource(path, true);
  request.worker = writeStreamToDisk;
  request.imagePath = path;
  request.verify = verify;
  request.onImageWritten = std::move(onImageWritten);
  return start(std::move(request), waitForCompletion);
}

namespace {

// Runs the checks of an operation from `reader` on the caller's thread: true for a
// compressed image of our own, checked as an image (its frames are shared by the group's
// imagers); false for a compressed stream, checked as a source and its reader taken,
// with the bytes the stream states in `statedBytes`.
bool checkReader(const DiskImager& imager, CompressedSource& reader, bool forWriting, u64& statedBytes) {
  if (reader.group().image()) {
    bool compatible = true;
    (void)imager.checkImageCompatibility(reader.path(), compatible, true);
    return true;
  }
  statedBytes = imager.checkCompressedSource(reader.path(), forWriting);
  reader.group().take(reader.index());
  return false;
}

}  // namespace

bool DiskImager::startWritingCompressed(std::shared_ptr<CompressedSource> reader, bool waitForCompletion, bool verify,
                                        std::function<void(std::shared_ptr<IDisk>)> onImageWritten) {
  if (!reader) throw VantorException(ERR_INVALID_ARGUMENT, "no reader of a compressed image given");
  StartRequest request;
  request.worker =
      checkReader(*this, *reader, true, request.statedBytes) ? writeImageFileToDisk : writeStreamToDisk;
  request.imagePath = reader->path();
  request.verify = verify;
  request.onImageWritten = std::move(onImageWritten);
  request.compressed = std::move(reader);
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startVerifyingCompressed(std::shared_ptr<CompressedSource> reader, bool waitForCompletion) {
  if (!reader) throw VantorException(ERR_INVALID_ARGUMENT, "no reader of a compressed image given");
  StartRequest request;
  request.worker =
      checkReader(*this, *reader, false, request.statedBytes) ? verifyDiskAgainstImage : verifyDiskAgainstStream;
  request.imagePath = reader->path();
  request.compressed = std::move(reader);
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startVerifyingCompressed(const vrk::String& path, bool waitForCompletion) {
  if (ImageBytes::holdsCompressedImage(path)) return startVerifyingImage(path, waitForCompletion);
  StartRequest request;
  request.statedBytes = checkCompressedSource(path, false);
  request.worker = verifyDiskAgainstStream;
  request.imagePath = path;
  return start(std::move(request), waitForCompletion);
}

bool DiskImager::startZeroingDisk(bool waitForCompletion, boost::optional<std::vector<std::pair<u64, u64>>> ranges) {
  StartRequest request;
  request.worker = [ranges = std::move(ranges)](vrk::ManagedThread*, std::shared_ptr<DiskImagerImp>& engine,
                                                 IDisk& disk, const vrk::String&, ImagingThreadData& data) {
    zeroDisk(ranges, *engine, disk, data.streaming);
  };
  return start(std::move(request), waitForCompletion);
}

void DiskImager::abort() {
  vrk::MutexLock guard(impl->lock);
  impl->state = DiskImagerImp::IMAGER_ABORTED;
}

bool DiskImager::done() const {
  const u32 s = impl->state;
  return s == DiskImagerImp::IMAGER_ABORTED || s == DiskImagerImp::IMAGER_FINISHED;
}

unsigned char DiskImager::percentComplete() const { return impl->percent; }

void DiskImager::join() {
  if (thread) thread->join();
}

bool DiskImager::errorEncountered(VantorErrorCodes& code, vrk::String& message) const {
  vrk::MutexLock guard(impl->lock);
  if (impl->errorCode == ERR_NONE) return false;
  code = impl->errorCode;
  message = impl->errorMessage;
  return true;
}

void DiskImager::throwIfError() const {
  VantorErrorCodes code = ERR_NONE;
  vrk::String message;
  if (errorEncountered(code, message)) throw VantorException(code, message);
}

void DiskImager::registerObserver(IDiskImagingObserver* observer) { impl->addObserver(observer); }

void DiskImager::setVolumeTooLargeBehavior(VolumeTooLargeBehavior behavior) {
  if (behavior == ALLOW_VOLUME_TOO_LARGE) {
    allowVolumeBeyondDrive = true;
  } else if (behavior == FAIL_ON_VOLUME_TOO_LARGE) {
    allowVolumeBeyondDrive = false;
  } else {
    const vrk::Logger& defect = vrk::LogFactory::createLogger("DEFECT.GENERIC");
    if (defect.isEnabled(vrk::LOG_ERROR)) defect.log(vrk::LOG_ERROR, "Unrecognized parameter");
  }
}

void DiskImager::setTransferMode(TransferMode mode) {
  if (mode == TRANSFER_CHUNK_BY_CHUNK || mode == TRANSFER_STREAMING) transferMode = mode;
}

void DiskImager::setVolumeCoverage(VolumeCoverage coverage) {
  if (coverage == COVER_FAT_VOLUMES || coverage == COVER_EVERY_VOLUME) volumeCoverage = coverage;
}

void DiskImager::setSourceSectors(SourceSectors which) {
  if (which == SOURCE_USED_SECTORS || which == SOURCE_EVERY_SECTOR) sourceSectors = which;
}

void DiskImager::setImageCompression(int level) {
  if (level < 0 || level > 19) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          vrk::SprintfFormat("compression level %d: a level goes from 1 to 19 (0: none)", level));
  }
  if (level > 0 && !ImageCompressor::available()) {
    throw VantorException(ERR_INVALID_ARGUMENT,
                          "this build of Vantor cannot compress images (it has no zstd): capture without compression");
  }
  compressionLevel = level;
}

void DiskImager::setImageChecksums(ImageChecksumUse use) {
  if (use == CHECKSUMS_OFF || use == CHECKSUMS_ON || use == CHECKSUMS_ON_REPLACING) checksumUse = use;
}

bool DiskImager::getImageInfo(const vrk::String& imageFile, DISK_IMAGE_INFO& info) {
  std::unique_ptr<ImageBytes> file;
  try {
    file = std::make_unique<ImageBytes>(imageFile);
  } catch (const VantorException& e) {
    if (e.getErrorCode() != ERR_FILE_ACCESS) {
      if (logger().isEnabled(vrk::LOG_ERROR)) {
        logger().log(vrk::LOG_ERROR, vrk::String("422 ") + "getImageInfo() called on incompatible file :\n" + e.getMessage());
      }
      return false;
    }
  }
  if (!file || file->size() < image::HEADER_SIZE) {
    if (logger().isEnabled(vrk::LOG_ERROR)) {
      logger().log(vrk::LOG_ERROR, vrk::String("413 ") + "Problem accessing or mapping file \"" + imageFile + "\"");
    }
    return false;
  }
  ImageHeader header;
  try {
    u8 headerBytes[image::HEADER_SIZE];
    file->read(0, headerBytes, sizeof headerBytes);
    header = parseImageHeader(headerBytes);
  } catch (const VantorException& e) {
    if (logger().isEnabled(vrk::LOG_ERROR)) {
      logger().log(vrk::LOG_ERROR, vrk::String("422 ") + "getImageInfo() called on incompatible file :\n" + e.getMessage());
    }
    return false;
  }
  info = DISK_IMAGE_INFO{};
  // A damaged header cannot make the requirement wrap round to a small number.
  const unsigned __int128 required = (static_cast<unsigned __int128>(header.highestVolumeSector) + 1) * header.sectorSize;
  info.requiredCapacity = required > ~u64(0) ? ~u64(0) : static_cast<u64>(required);
  info.sectorSize = header.sectorSize;
  info.majorVersion = header.majorVersion;
  info.minorVersion = header.minorVersion;
  return true;
}

bool DiskImager::checkImageCompatibility(const vrk::String& imageFile, bool& compatible, bool throwOnError) const {
  DISK_IMAGE_INFO info{};
  if (!getImageInfo(imageFile, info)) {
    if (throwOnError) {
      // A compressed image's own refusal says more: a damaged seek table, a build that cannot decompress.
      if (ImageBytes::holdsCompressedImage(imageFile)) (void)ImageBytes(imageFile);
      throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("Cannot read/interpret file \"") + imageFile + "\"");
    }
    return false;
  }
  const DiskDevice& device = impl->device;
  if (device.getSectorSize() != info.sectorSize) {
    compatible = false;
    if (throwOnError) {
      throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                            vrk::String("Image file and device are incompatible. ") +
                                vrk::SprintfFormat("Image uses %u byte sectors, whereas device uses %u byte sectors.",
                                                   info.sectorSize, device.getSectorSize()));
    }
  }
  const u64 capacity = device.rawDisk().getSizeBytes();
  if (capacity >= info.requiredCapacity) return true;
  const vrk::String message = vrk::SprintfFormat(
      "Storage device is too small for the selected image's volume:\n   Image Required Capacity: %s (%s)\n   "
      "Device Capacity:         %s (%s)\n",
      capacityText(info.requiredCapacity, true).c_str(), capacityText(info.requiredCapacity, false).c_str(),
      capacityText(capacity, true).c_str(), capacityText(capacity, false).c_str());
  if (!allowVolumeBeyondDrive) {
    compatible = false;
    throw VantorException(ERR_VOLUME_TOO_LARGE, message);
  }
  if (logger().isEnabled(vrk::LOG_WARNING)) logger().log(vrk::LOG_WARNING, vrk::String("473 ") + message);
  return true;
}

}  // namespace vantor

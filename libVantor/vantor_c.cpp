// libVantor/vantor_c.cpp
// The C interface over the exported classes. Every entry point is one guarded call: a
// VantorException becomes its code and the thread's last error, anything else
// VANTOR_ERR_GENERAL. A job's callbacks reach the caller through an observer that the
// engine owns; the outcome they carry is kept in a record shared with the job.
#include <libVantor/vantor_c.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/IDiskImagingObserver.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/SignatureEraser.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WinDiskFile.h>

using namespace vantor;

#define VANTOR_SAME_CODE(name) \
  static_assert(static_cast<u32>(VANTOR_##name) == static_cast<u32>(name), #name " differs between C and C++")
VANTOR_SAME_CODE(ERR_GENERAL);
VANTOR_SAME_CODE(ERR_DISMOUNT_FAILED);
VANTOR_SAME_CODE(ERR_MOUNT_FAILED);
VANTOR_SAME_CODE(ERR_DISK_ACCESS);
VANTOR_SAME_CODE(ERR_VERIFY_MISMATCH);
VANTOR_SAME_CODE(ERR_FILE_ACCESS);
VANTOR_SAME_CODE(ERR_VOLUME_TOO_LARGE);
VANTOR_SAME_CODE(ERR_VOLUME_EXCEEDS_DRIVE);
VANTOR_SAME_CODE(ERR_MEDIA_CHANGED);
VANTOR_SAME_CODE(ERR_UNSUPPORTED_FILE_SYSTEM);
VANTOR_SAME_CODE(ERR_INVALID_IMAGE_FILE);
VANTOR_SAME_CODE(ERR_INCOMPATIBLE_IMAGE);
VANTOR_SAME_CODE(ERR_INVALID_BOOT_LOADER);
VANTOR_SAME_CODE(ERR_UNSUPPORTED_SECTOR_SIZE);
VANTOR_SAME_CODE(ERR_ABORTED);
VANTOR_SAME_CODE(ERR_INVALID_ARGUMENT);
#undef VANTOR_SAME_CODE
static_assert(VANTOR_OK == static_cast<int>(ERR_NONE), "success is 0");
static_assert(VANTOR_ENUM_FLOPPIES == DiskDevice::ENUM_FLOPPIES && VANTOR_ENUM_INTERNAL == DiskDevice::ENUM_INTERNAL &&
                  VANTOR_ENUM_USB == DiskDevice::ENUM_USB && VANTOR_ENUM_CARDS == DiskDevice::ENUM_CARDS &&
                  VANTOR_ENUM_ALL_KINDS == DiskDevice::ENUM_ALL_KINDS &&
                  VANTOR_ENUM_DROP_REMOVABLE == DiskDevice::ENUM_DROP_REMOVABLE &&
                  VANTOR_ENUM_DROP_FIXED == DiskDevice::ENUM_DROP_FIXED,
              "the listing flags differ between C and C++");
static_assert(sizeof(vantor_u64) == 8, "vantor_u64 is 64 bits");

struct vantor_disk {
  std::shared_ptr<IDisk> disk;
};

struct vantor_drive_list {
  struct Entry {
    std::string locator, text;
    u64 size;
    u32 sectorSize;
  };
  std::vector<Entry> entries;
};

namespace {

thread_local std::string lastError;

int fail(int code, std::string message) {
  lastError = std::move(message);
  return code;
}

// Runs `body` (which returns 0 or a code) so that nothing is thrown past the interface.
template <class Body>
int guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const VantorException& e) {
    return fail(static_cast<int>(e.getErrorCode()), e.getMessage().str());
  } catch (const vrk::Exception& e) {
    return fail(VANTOR_ERR_GENERAL, e.getMessage().str());
  } catch (const std::exception& e) {
    return fail(VANTOR_ERR_GENERAL, e.what());
  } catch (...) {
    return fail(VANTOR_ERR_GENERAL, "unexpected failure inside the library");
  }
}

int invalidArgument(const char* what) { return fail(VANTOR_ERR_INVALID_ARGUMENT, what); }

// How a job ended, written by the observer on the worker, read by the caller.
struct Outcome {
  mutable std::mutex lock;
  bool finished = false;
  int code = VANTOR_OK;
  std::string message;
};

// Hands the engine's notifications to the C callbacks.
class CallbackObserver final : public IDiskImagingObserver {
 public:
  CallbackObserver(vantor_progress_fn progress, vantor_done_fn done, void* user, std::shared_ptr<Outcome> outcome)
      : progress_(progress), done_(done), user_(user), outcome_(std::move(outcome)) {}

  void progressUpdate(unsigned char percent) override {
    if (progress_) progress_(user_, percent);
  }
  void abortedByUser() override { finish(VANTOR_ERR_ABORTED, "the operation was aborted"); }
  void finishedSuccessfully() override { finish(VANTOR_OK, std::string()); }
  void finishedWithError(VantorErrorCodes code, const vrk::String& message) override {
    finish(static_cast<int>(code), message.str());
  }

 private:
  void finish(int code, const std::string& message) {
    {
      const std::lock_guard<std::mutex> hold(outcome_->lock);
      outcome_->code = code;
      outcome_->message = message;
    }
    if (done_) done_(user_, code, message.c_str());
    const std::lock_guard<std::mutex> hold(outcome_->lock);
    outcome_->finished = true;
  }

  vantor_progress_fn progress_;
  vantor_done_fn done_;
  void* user_;
  std::shared_ptr<Outcome> outcome_;
};

}  // namespace

struct vantor_job {
  explicit vantor_job(std::shared_ptr<IDisk> disk) : device(vrk::String(), std::move(disk)), imager(device) {}
  DiskDevice device;  // holds the disk open while the job lives
  DiskImager imager;
  std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
};

namespace {

enum class Kind { Capture, Restore, Verify, Zero };

int startJob(Kind kind, vantor_disk* disk, const char* image, bool flag, vantor_progress_fn progress,
             vantor_done_fn done, void* user, vantor_job** out, int compressionLevel = 0) {
  return guarded([&] {
    if (!disk || !out || (kind != Kind::Zero && !image)) return invalidArgument("a null disk, image path or result");
    auto job = std::make_unique<vantor_job>(disk->disk);
    DiskImager& imager = job->imager;
    imager.setTransferMode(DiskImager::TRANSFER_STREAMING);
    // Restore and verify always take every volume: a GPT's backup belongs to the target.
    const bool everyVolume = kind != Kind::Capture || flag;
    imager.setVolumeCoverage(everyVolume ? DiskImager::COVER_EVERY_VOLUME : DiskImager::COVER_FAT_VOLUMES);
    imager.setImageCompression(compressionLevel);  // refuses a level out of range, and a build without zstd
    imager.registerObserver(new CallbackObserver(progress, done, user, job->outcome));
    bool started = false;
    switch (kind) {
      case Kind::Capture:
        started = imager.startReadingImage(image, false, false);
        break;
      case Kind::Restore:
        // As the command-line host does: old signatures the image does not overwrite go.
        // The caller's string is read only during this call: the worker gets a copy.
        started = imager.startWritingImage(image, false, false, flag,
                                           [path = vrk::String(image)](std::shared_ptr<IDisk> drive) {
                                             (void)SignatureEraser::eraseForeign(*drive, path);
                                           });
        break;
      case Kind::Verify:
        started = imager.startVerifyingImage(image, false);
        break;
      case Kind::Zero:
        started = imager.startZeroingDisk(false, boost::none);
        break;
    }
    if (!started) return fail(VANTOR_ERR_GENERAL, "the operation could not be started");
    *out = job.release();
    return static_cast<int>(VANTOR_OK);
  });
}

}  // namespace

extern "C" {

const char* vantor_error_name(int code) {
  return errorCodeName(static_cast<VantorErrorCodes>(static_cast<u32>(code)));
}

const char* vantor_last_error(void) { return lastError.c_str(); }

int vantor_open_drive(const char* locator_utf8, vantor_disk** out) {
  return guarded([&] {
    if (!locator_utf8 || !out) return invalidArgument("a null locator or result");
    auto disk = std::make_unique<vantor_disk>();
    disk->disk = DiskFactory::getDiskDevice(locator_utf8);
    *out = disk.release();
    return static_cast<int>(VANTOR_OK);
  });
}

int vantor_open_disk_file(const char* path_utf8, unsigned sector_size, vantor_u64 size_bytes, int create,
                          vantor_disk** out) {
  return guarded([&] {
    if (!path_utf8 || !out) return invalidArgument("a null path or result");
    if (sector_size == 0) return invalidArgument("a sector size of 0");
    auto file = std::make_shared<WinDiskFile>(path_utf8, create ? WinDiskFile::OpenAlways : WinDiskFile::OpenExisting,
                                              sector_size, size_bytes);
    if (!file->isOpen()) {
      return fail(VANTOR_ERR_FILE_ACCESS, std::string("cannot open or size the disk file \"") + path_utf8 + "\"");
    }
    auto disk = std::make_unique<vantor_disk>();
    disk->disk = std::move(file);
    *out = disk.release();
    return static_cast<int>(VANTOR_OK);
  });
}

void vantor_disk_close(vantor_disk* disk) { delete disk; }

vantor_u64 vantor_disk_size(const vantor_disk* disk) {
  try {
    return disk ? disk->disk->getSizeBytes() : 0;
  } catch (...) {
    return 0;
  }
}

unsigned vantor_disk_sector_size(const vantor_disk* disk) {
  try {
    return disk ? disk->disk->getSectorSize() : 0;
  } catch (...) {
    return 0;
  }
}

int vantor_disk_read(const vantor_disk* disk, unsigned first_sector, unsigned count, void* buffer) {
  return guarded([&] {
    if (!disk || (!buffer && count)) return invalidArgument("a null disk or buffer");
    if (!disk->disk->readSectors(first_sector, buffer, count)) {
      return fail(VANTOR_ERR_DISK_ACCESS, "the sectors could not be read");
    }
    return static_cast<int>(VANTOR_OK);
  });
}

int vantor_disk_write(vantor_disk* disk, unsigned first_sector, unsigned count, const void* buffer) {
  return guarded([&] {
    if (!disk || (!buffer && count)) return invalidArgument("a null disk or buffer");
    if (!disk->disk->writeSectors(first_sector, buffer, count)) {
      return fail(VANTOR_ERR_DISK_ACCESS, "the sectors could not be written");
    }
    return static_cast<int>(VANTOR_OK);
  });
}

int vantor_list_drives(unsigned flags, unsigned sector_size, vantor_drive_list** out) {
  return guarded([&] {
    if (!out) return invalidArgument("a null result");
    if (sector_size > 0xFFFF) return invalidArgument("a sector size past 65535");
    vrk::Array<DiskDevice> devices;
    DiskDevice::enumDevices(devices, flags, static_cast<u16>(sector_size));
    auto list = std::make_unique<vantor_drive_list>();
    for (u32 i = 0; i < devices.size(); ++i) {
      const DiskDevice& device = devices[i];
      const auto* drive = dynamic_cast<const WinDiskDevice*>(&device.rawDisk());
      list->entries.push_back({drive ? drive->getLocator().str() : std::string(), device.description().str(),
                               device.capacityBytes(), device.getSectorSize()});
    }
    *out = list.release();
    return static_cast<int>(VANTOR_OK);
  });
}

void vantor_list_free(vantor_drive_list* list) { delete list; }

int vantor_list_count(const vantor_drive_list* list) { return list ? static_cast<int>(list->entries.size()) : 0; }

namespace {
const vantor_drive_list::Entry* entryAt(const vantor_drive_list* list, int index) {
  if (!list || index < 0 || static_cast<std::size_t>(index) >= list->entries.size()) return nullptr;
  return &list->entries[static_cast<std::size_t>(index)];
}
}  // namespace

const char* vantor_list_locator(const vantor_drive_list* list, int index) {
  const auto* entry = entryAt(list, index);
  return entry ? entry->locator.c_str() : "";
}

const char* vantor_list_text(const vantor_drive_list* list, int index) {
  const auto* entry = entryAt(list, index);
  return entry ? entry->text.c_str() : "";
}

vantor_u64 vantor_list_size(const vantor_drive_list* list, int index) {
  const auto* entry = entryAt(list, index);
  return entry ? entry->size : 0;
}

unsigned vantor_list_sector_size(const vantor_drive_list* list, int index) {
  const auto* entry = entryAt(list, index);
  return entry ? entry->sectorSize : 0;
}

int vantor_capture(vantor_disk* disk, const char* image_path_utf8, int every_volume, vantor_progress_fn progress,
                   vantor_done_fn done, void* user, vantor_job** out) {
  return startJob(Kind::Capture, disk, image_path_utf8, every_volume != 0, progress, done, user, out);
}

int vantor_capture_compressed(vantor_disk* disk, const char* image_path_utf8, int every_volume, int level,
                              vantor_progress_fn progress, vantor_done_fn done, void* user, vantor_job** out) {
  if (level < 1) return invalidArgument("a compression level below 1");
  return startJob(Kind::Capture, disk, image_path_utf8, every_volume != 0, progress, done, user, out, level);
}

int vantor_restore(vantor_disk* disk, const char* image_path_utf8, int verify, vantor_progress_fn progress,
                   vantor_done_fn done, void* user, vantor_job** out) {
  return startJob(Kind::Restore, disk, image_path_utf8, verify != 0, progress, done, user, out);
}

int vantor_verify(vantor_disk* disk, const char* image_path_utf8, vantor_progress_fn progress, vantor_done_fn done,
                  void* user, vantor_job** out) {
  return startJob(Kind::Verify, disk, image_path_utf8, false, progress, done, user, out);
}

int vantor_zero(vantor_disk* disk, vantor_progress_fn progress, vantor_done_fn done, void* user, vantor_job** out) {
  return startJob(Kind::Zero, disk, nullptr, false, progress, done, user, out);
}

void vantor_job_wait(vantor_job* job) {
  try {
    if (job) job->imager.join();
  } catch (...) {
  }
}

void vantor_job_abort(vantor_job* job) {
  try {
    if (job) job->imager.abort();
  } catch (...) {
  }
}

int vantor_job_done(const vantor_job* job) {
  if (!job) return 1;
  const std::lock_guard<std::mutex> hold(job->outcome->lock);
  return job->outcome->finished ? 1 : 0;
}

int vantor_job_percent(const vantor_job* job) {
  try {
    return job ? job->imager.percentComplete() : 0;
  } catch (...) {
    return 0;
  }
}

int vantor_job_error(const vantor_job* job, char* buf, size_t size) {
  if (!job) return VANTOR_ERR_INVALID_ARGUMENT;
  const std::lock_guard<std::mutex> hold(job->outcome->lock);
  if (buf && size > 0) {
    const std::size_t n = std::min(size - 1, job->outcome->message.size());
    std::memcpy(buf, job->outcome->message.data(), n);
    buf[n] = '\0';
  }
  return job->outcome->code;
}

void vantor_job_free(vantor_job* job) {
  vantor_job_wait(job);
  try {
    delete job;
  } catch (...) {
  }
}

int vantor_image_info(const char* image_path_utf8, struct vantor_image_info* out) {
  return guarded([&] {
    if (!image_path_utf8 || !out) return invalidArgument("a null path or result");
    DISK_IMAGE_INFO info{};
    if (!DiskImager::getImageInfo(image_path_utf8, info)) {
      return fail(VANTOR_ERR_INVALID_IMAGE_FILE,
                  std::string("cannot read an image header from \"") + image_path_utf8 + "\"");
    }
    out->required_capacity = info.requiredCapacity;
    out->sector_size = info.sectorSize;
    out->major_version = info.majorVersion;
    out->minor_version = info.minorVersion;
    return static_cast<int>(VANTOR_OK);
  });
}

int vantor_partitions(const vantor_disk* disk, struct vantor_partition* out, int max) {
  return guarded([&] {
    if (!disk || (!out && max > 0)) return invalidArgument("a null disk or result");
    const std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::getPartitions(*disk->disk);
    for (std::size_t i = 0; i < entries.size() && static_cast<int>(i) < max; ++i) {
      out[i].type = entries[i].partitionType;
      out[i].bootable = (entries[i].bootIndicator & 0x80) ? 1 : 0;
      out[i].start_lba = entries[i].startLBA;
      out[i].sector_count = entries[i].sectorCount;
    }
    return static_cast<int>(VANTOR_OK);
  });
}

}  // extern "C"

// tests/fuzz/Imaging.h
// The imaging operations for the fuzz targets, run on the calling thread: the same
// operation bodies that DiskImager hands to its worker thread, with an engine of their
// own. A thread per execution costs more than the rest of an execution together (its
// stack comes and goes, and every unmapping then has to reach the other core), so the
// targets go through the facade only now and then.
#pragma once
#include <unistd.h>

#include <memory>
#include <string>

#include <libVantor/DiskDevice.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/DiskImagerImp.h>

namespace vantor::fuzz {

// A file name of this process for `what`, in memory where the system offers it.
inline std::string scratchPath(const char* what) {
  const std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return dir + "/vantor-fuzz-" + what + "-" + std::to_string(::getpid()) + ".img";
}

// Asks the engine to stop once it has reported `afterReports` progress changes.
class AbortingObserver final : public IDiskImagingObserver {
 public:
  AbortingObserver(DiskImagerImp& engine, u32 afterReports) : engine_(engine), left_(afterReports) {}
  void progressUpdate(unsigned char) override {
    if (left_ > 0 && --left_ == 0) engine_.state = DiskImagerImp::IMAGER_ABORTED;
  }

 private:
  DiskImagerImp& engine_;
  u32 left_;
};

class DirectImaging {
 public:
  explicit DirectImaging(const std::shared_ptr<IDisk>& disk)
      : device_("fuzz", disk), engine_(std::make_shared<DiskImagerImp>(device_)) {}

  DiskImagerImp& engine() { return *engine_; }
  void abortAfter(u32 reports) {
    if (reports) engine_->addObserver(new AbortingObserver(*engine_, reports));
  }

  // Each answers ERR_NONE, or the code of the VantorException that ended the operation.
  VantorErrorCodes capture(const std::string& path, bool allowVolumeBeyondDrive) {
    ImagingThreadData data;
    data.allowVolumeBeyondDrive = allowVolumeBeyondDrive;
    return run(captureImage, path, data);
  }
  VantorErrorCodes restore(const std::string& path, bool verify, bool wholeDrive,
                           std::function<void(std::shared_ptr<IDisk>)> onImageWritten) {
    ImagingThreadData data;
    data.verify = verify;
    data.wholeDrive = wholeDrive;
    data.onImageWritten = std::move(onImageWritten);
    return run(writeImageFileToDisk, path, data);
  }

 private:
  VantorErrorCodes run(const ImagingWorker& worker, const std::string& path, ImagingThreadData& data) {
    data.engine = engine_;
    engine_->state = DiskImagerImp::IMAGER_RUNNING;
    try {
      worker(nullptr, engine_, engine_->device.rawDisk(), vrk::String(path), data);
    } catch (const VantorException& e) {
      return e.getErrorCode();
    }
    return ERR_NONE;
  }

  DiskDevice device_;
  std::shared_ptr<DiskImagerImp> engine_;
};

}  // namespace vantor::fuzz

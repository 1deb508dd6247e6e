#include <libVantor/internal/DiskImagerImp.h>

#include <exception>

#include <vrk/Log.h>
#include <vrk/MutexLock.h>

namespace vantor {
namespace {

void logObserverFailure(const char* notification, const char* what) noexcept {
  try {
    static const vrk::Logger& logger = vrk::LogFactory::createLogger("vantor.DiskImager");
    if (logger.isEnabled(vrk::LOG_ERROR)) {
      logger.log(vrk::LOG_ERROR,
                 vrk::String("431 ") + vrk::SprintfFormat("An imaging observer failed in %s: %s", notification, what));
    }
  } catch (...) {
  }
}

}  // namespace

void DiskImagerImp::forEachObserver(const char* notification,
                                    const std::function<void(IDiskImagingObserver&)>& notify) {
  // Observers registered from inside a notification join in with the next one. An
  // observer that throws is logged and passed over: the operation, and the other
  // observers, carry on as if it had returned.
  const std::size_t count = observers.size();
  for (std::size_t i = 0; i < count; ++i) {
    try {
      notify(*observers[i]);
    } catch (const vrk::Exception& e) {
      logObserverFailure(notification, e.getMessage().c_str());
    } catch (const std::exception& e) {
      logObserverFailure(notification, e.what());
    } catch (...) {
      logObserverFailure(notification, "unknown exception");
    }
  }
}

void DiskImagerImp::notifyProgress(unsigned char p) {
  vrk::MutexLock guard(lock);
  if (p == percent) return;
  percent = p;
  forEachObserver("progressUpdate", [p](IDiskImagingObserver& o) { o.progressUpdate(p); });
}

void DiskImagerImp::notifyStarted() {
  vrk::MutexLock guard(lock);
  forEachObserver("started", [](IDiskImagingObserver& o) { o.started(); });
}

void DiskImagerImp::notifyFinished() {
  vrk::MutexLock guard(lock);
  state = IMAGER_FINISHED;
  forEachObserver("finishedSuccessfully", [](IDiskImagingObserver& o) { o.finishedSuccessfully(); });
}

void DiskImagerImp::notifyAborted() {
  vrk::MutexLock guard(lock);
  state = IMAGER_ABORTED;
  percent = 100;
  forEachObserver("abortedByUser", [](IDiskImagingObserver& o) { o.abortedByUser(); });
}

void DiskImagerImp::notifyError(VantorErrorCodes code, const vrk::String& message) {
  vrk::MutexLock guard(lock);
  state = IMAGER_FINISHED;
  forEachObserver("finishedWithError", [&](IDiskImagingObserver& o) { o.finishedWithError(code, message); });
  errorCode = code;
  errorMessage = message;
}

void DiskImagerImp::throwIfAbortRequested() const {
  if (state == IMAGER_ABORTED) throw VantorException(ERR_ABORTED);
}

void DiskImagerImp::addObserver(IDiskImagingObserver* observer) {
  if (!observer) return;
  std::unique_ptr<IDiskImagingObserver> owned(observer);  // deleted here if the append fails
  vrk::MutexLock guard(lock);
  observers.push_back(std::move(owned));
}

}  // namespace vantor

#include <libVantor/internal/DiskImagerImp.h>

namespace vantor {

void DiskImagerImp::forEachObserver(const std::function<void(IDiskImagingObserver&)>& notify) {
  vrk::MutexLock guard(lock);
  // Observers registered from inside a notification join in with the next one.
  const std::size_t count = observers.size();
  for (std::size_t i = 0; i < count; ++i) notify(*observers[i]);
}

void DiskImagerImp::notifyProgress(unsigned char p) {
  vrk::MutexLock guard(lock);
  if (p == percent) return;
  percent = p;
  forEachObserver([p](IDiskImagingObserver& o) { o.progressUpdate(p); });
}

void DiskImagerImp::notifyStarted() {
  forEachObserver([](IDiskImagingObserver& o) { o.started(); });
}

void DiskImagerImp::notifyFinished() {
  vrk::MutexLock guard(lock);
  state = IMAGER_FINISHED;
  forEachObserver([](IDiskImagingObserver& o) { o.finishedSuccessfully(); });
}

void DiskImagerImp::notifyAborted() {
  vrk::MutexLock guard(lock);
  state = IMAGER_ABORTED;
  percent = 100;
  forEachObserver([](IDiskImagingObserver& o) { o.abortedByUser(); });
}

void DiskImagerImp::notifyError(VantorErrorCodes code, const vrk::String& message) {
  vrk::MutexLock guard(lock);
  state = IMAGER_FINISHED;
  forEachObserver([&](IDiskImagingObserver& o) { o.finishedWithError(code, message); });
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

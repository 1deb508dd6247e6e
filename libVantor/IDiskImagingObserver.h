// libVantor/IDiskImagingObserver.h
// What an imaging operation reports while it runs. Every notification does nothing
// by default; an observer overrides what it wants.
//
// Threads and locks: notifications arrive on the operation's worker thread, never on
// the thread that started it, while the engine holds its state lock, so they never
// overlap. An observer may call DiskImager::abort() or registerObserver() from inside
// a notification (the lock is re-entrant); it must not wait for the operation to end.
//
// Order: started() once, then progressUpdate(p) for each new whole percentage, then
// exactly one of abortedByUser(), finishedSuccessfully(), finishedWithError().
//
// Ownership: registerObserver hands the observer over; the engine deletes it when the
// engine's state goes. Make it with new, register it once, never delete it yourself:
//   imager.registerObserver(new CLImagingObserver);
#pragma once
#include <libVantor/VantorException.h>

namespace vantor {

class IDiskImagingObserver {
 public:
  IDiskImagingObserver() = default;
  virtual ~IDiskImagingObserver() = default;
  IDiskImagingObserver(const IDiskImagingObserver&) = delete;
  IDiskImagingObserver& operator=(const IDiskImagingObserver&) = delete;

  virtual void started() {}
  virtual void progressUpdate(unsigned char percent) { (void)percent; }
  virtual void abortedByUser() {}
  virtual void finishedSuccessfully() {}
  virtual void finishedWithError(VantorErrorCodes code, const vrk::String& message) {
    (void)code;
    (void)message;
  }
};

}  // namespace vantor

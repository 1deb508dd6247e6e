// basekit/vrk/Mutex.h
// A plain (not re-entrant) mutual-exclusion lock that Clang's thread-safety analysis
// knows as a lock: members marked VRK_GUARDED_BY(m) are checked to be touched only
// with m held (vrk/ThreadSafety.h). Take it through MutexLock.
//
// wait() is how a holder sleeps on a std::condition_variable: it lends the lock to the
// condition variable for the wait and has it back on return, so the analysis, which
// sees the lock held across the call, is right about it.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <vrk/ThreadSafety.h>

namespace vrk {

class VRK_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() VRK_ACQUIRE() { mutex_.lock(); }
  void unlock() VRK_RELEASE() { mutex_.unlock(); }
  bool try_lock() VRK_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // Lets the lock go, sleeps until `changed` is notified (or wakes spuriously), and
  // takes the lock again before returning; call it in a loop over the awaited condition.
  void wait(std::condition_variable& changed) VRK_REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    changed.wait(held);
    held.release();  // still held: the caller's MutexLock lets it go
  }
  // As wait(), waking after `timeout` at the latest.
  void waitFor(std::condition_variable& changed, std::chrono::milliseconds timeout) VRK_REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    changed.wait_for(held, timeout);
    held.release();
  }

 private:
  std::mutex mutex_;
};

}  // namespace vrk

// basekit/vrk/RecursiveMutex.h
// A re-entrant mutual-exclusion lock (a critical section): the thread that holds it may
// take it again, and lets it go after as many unlocks as locks. Clang's thread-safety
// analysis knows it as a lock (vrk/ThreadSafety.h) but not that it is re-entrant: within
// one function body it is taken once; re-entry happens only through calls the analysis
// does not follow (a callback that calls back into its caller). Take it through MutexLock.
#pragma once
#include <mutex>

#include <vrk/ThreadSafety.h>

namespace vrk {

class VRK_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() VRK_ACQUIRE() { mutex_.lock(); }
  void unlock() VRK_RELEASE() { mutex_.unlock(); }
  bool try_lock() VRK_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace vrk

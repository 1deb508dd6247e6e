// basekit/vrk/MutexLock.h
// Holds a Mutex or a RecursiveMutex from construction to the end of its scope:
//   vrk::MutexLock guard(mutex_);
// Clang's thread-safety analysis sees the lock held for exactly that scope.
#pragma once
#include <vrk/ThreadSafety.h>

namespace vrk {

template <class Lock>
class VRK_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Lock& lock) VRK_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~MutexLock() VRK_RELEASE() { lock_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Lock& lock_;
};

}  // namespace vrk

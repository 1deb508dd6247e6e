// basekit/vrk/Thread.h
// ManagedThread runs one function on a thread of its own; the function receives the
// thread object and reads its context pointer back. run() starts it once; join()
// waits for it. Destroying a thread object that was never joined detaches the thread:
// whatever the function uses must then be kept alive by the function itself.
//
// Mutex is a recursive critical section: the thread that holds it may take it again.
#pragma once
#include <functional>
#include <mutex>
#include <thread>

namespace vrk {

class ManagedThread {
 public:
  using Function = std::function<int(ManagedThread&)>;

  ManagedThread(Function function, void* context) : function_(std::move(function)), context_(context) {}
  ~ManagedThread() {
    if (thread_.joinable()) thread_.detach();
  }
  ManagedThread(const ManagedThread&) = delete;
  ManagedThread& operator=(const ManagedThread&) = delete;

  void* getContext() const { return context_; }
  // Starts the thread; false when it was started before or could not be made.
  bool run();
  // Waits for the thread to end; false when it was not started or already joined.
  bool join();
  bool joinable() const { return thread_.joinable(); }
  int exitCode() const { return exitCode_; }

 private:
  Function function_;
  void* context_;
  std::thread thread_;
  int exitCode_ = 0;
  bool started_ = false;
};

class Mutex {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

using MutexLock = std::lock_guard<Mutex>;

}  // namespace vrk

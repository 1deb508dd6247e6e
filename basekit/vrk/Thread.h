// basekit/vrk/Thread.h
// ManagedThread runs one function on a thread of its own; the function receives a
// thread object and reads the context pointer back from it. run() starts it once;
// join() waits for it. Destroying the object that started a thread which was never
// joined detaches the thread; the function and its context stay alive until it ends
// (the function then sees a thread object of its own, not the destroyed one).
// The locks are in vrk/Mutex.h, vrk/RecursiveMutex.h and vrk/MutexLock.h.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <vrk/Export.h>

namespace vrk {

class VRK_EXPORT ManagedThread {
 public:
  using Function = std::function<int(ManagedThread&)>;

  ManagedThread(Function function, void* context);
  ~ManagedThread();
  ManagedThread(const ManagedThread&) = delete;
  ManagedThread& operator=(const ManagedThread&) = delete;

  void* getContext() const { return state_->context; }
  // Starts the thread; false when it was started before or could not be made.
  bool run();
  // Waits for the thread to end; false when there is nothing to wait for (never
  // started, already joined, or called from the thread itself).
  bool join();
  int exitCode() const { return state_->exitCode; }

 private:
  struct State {
    Function function;
    void* context;
    std::atomic<int> exitCode{0};
  };
  explicit ManagedThread(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace vrk

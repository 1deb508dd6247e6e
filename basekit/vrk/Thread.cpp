#include <vrk/Thread.h>

#include <system_error>

namespace vrk {

ManagedThread::ManagedThread(Function function, void* context) : state_(std::make_shared<State>()) {
  state_->function = std::move(function);
  state_->context = context;
}

ManagedThread::~ManagedThread() {
  if (thread_.joinable()) thread_.detach();
}

bool ManagedThread::run() {
  if (started_ || !state_->function) return false;
  std::shared_ptr<State> state = state_;
  try {
    thread_ = std::thread([state] {
      ManagedThread self(state);
      state->exitCode = state->function(self);
    });
  } catch (const std::system_error&) {
    return false;
  }
  started_ = true;
  return true;
}

bool ManagedThread::join() {
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return false;
  thread_.join();
  return true;
}

}  // namespace vrk

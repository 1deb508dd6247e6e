#include <vrk/Thread.h>

#include <system_error>

namespace vrk {

bool ManagedThread::run() {
  if (started_) return false;
  try {
    thread_ = std::thread([this] { exitCode_ = function_(*this); });
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

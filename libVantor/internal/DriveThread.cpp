// The drive thread of a capture or a restore.
#include <libVantor/internal/DriveThread.h>

#include <utility>

namespace vantor {

DriveThread::DriveThread(ChunkRing& ring, std::size_t stage, std::function<void()> body) : ring_(ring) {
  thread_ = std::thread([this, stage, body = std::move(body)] {
    try {
      body();
    } catch (...) {
      failure_ = std::current_exception();  // read by join(), after the thread has ended
    }
    ring_.end(stage);
  });
}

DriveThread::~DriveThread() {
  ring_.cancel();
  if (thread_.joinable()) thread_.join();
}

void DriveThread::join() {
  if (thread_.joinable()) thread_.join();
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace vantor

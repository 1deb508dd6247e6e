// libVantor/internal/DriveThread.h
// The drive's side of a capture or a restore, on a thread of its own: while it runs,
// nothing else touches the drive (a drive is not to be used by two threads at once),
// and the worker does the image file's side and every notification. It ends its stage
// of the ChunkRing however its body returns; its destructor cancels the ring and waits
// for the thread, so no way out of the operation leaves it running on buffers or a
// drive that go away.
//
//   ChunkRing ring(2, 8, chunkBytes);
//   DriveThread drive(ring, 0, [&] { /* read chunks into the ring */ });
//   ... take the chunks from stage 1 ...
//   drive.join();  // what the body threw comes out here
#pragma once
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>

#include <libVantor/internal/ChunkRing.h>

namespace vantor {

class DriveThread {
 public:
  // Starts `body` on a new thread; `stage` of `ring` is ended when the body returns.
  DriveThread(ChunkRing& ring, std::size_t stage, std::function<void()> body);
  ~DriveThread();
  DriveThread(const DriveThread&) = delete;
  DriveThread& operator=(const DriveThread&) = delete;

  // Waits for the thread to end; rethrows what the body threw.
  void join();

 private:
  ChunkRing& ring_;
  std::exception_ptr failure_;  // written by the thread, read once it has ended
  std::thread thread_;
};

}  // namespace vantor

// libVantor/internal/DiskBufferPointer.cpp
// What every platform's buffer owner shares: handing the block over on a move and
// giving it back when the owner goes. Allocation and release are the platform's.
#include <libVantor/internal/DiskBufferPointer.h>

#include <utility>

namespace vantor {

DiskBufferPointer::~DiskBufferPointer() { release(); }

DiskBufferPointer::DiskBufferPointer(DiskBufferPointer&& other) noexcept
    : memory_(std::exchange(other.memory_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

DiskBufferPointer& DiskBufferPointer::operator=(DiskBufferPointer&& other) noexcept {
  if (this != &other) {
    release();
    memory_ = std::exchange(other.memory_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

}  // namespace vantor

// os_includes/windows/libVantor/DiskBufferPointer.cpp
//
// VirtualAlloc (MEM_COMMIT, PAGE_READWRITE): whole pages, page-aligned, zero-filled;
// VirtualFree (MEM_RELEASE) when the owner goes.
#include <libVantor/internal/DiskBufferPointer.h>

#include <windows.h>

#include <utility>

#include <vrk/Assert.h>

namespace vantor {

DiskBufferPointer::DiskBufferPointer(std::size_t byteSize, OnFailure onFailure) {
  void* pVirtualAllocedMemory = VirtualAlloc(nullptr, byteSize == 0 ? 1 : byteSize, MEM_COMMIT, PAGE_READWRITE);
  if (onFailure == OnFailure::Assert) VRK_ASSERT(pVirtualAllocedMemory != NULL);
  memory_ = static_cast<u8*>(pVirtualAllocedMemory);
  size_ = memory_ ? byteSize : 0;
  mapped_ = size_;
}

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

void DiskBufferPointer::release() {
  if (memory_) VirtualFree(memory_, 0, MEM_RELEASE);
  memory_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

}  // namespace vantor

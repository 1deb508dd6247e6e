// os_includes/windows/libVantor/DiskBufferPointer.cpp
//
// VirtualAlloc (MEM_COMMIT, PAGE_READWRITE): whole pages, page-aligned, zero-filled;
// VirtualFree (MEM_RELEASE) when the owner goes.
#include <libVantor/internal/DiskBufferPointer.h>

#include <windows.h>

#include <vrk/Assert.h>

namespace vantor {

DiskBufferPointer::DiskBufferPointer(std::size_t byteSize, OnFailure onFailure) {
  void* pVirtualAllocedMemory = VirtualAlloc(nullptr, byteSize == 0 ? 1 : byteSize, MEM_COMMIT, PAGE_READWRITE);
  if (onFailure == OnFailure::Assert) VRK_ASSERT(pVirtualAllocedMemory != NULL);
  memory_ = static_cast<u8*>(pVirtualAllocedMemory);
  size_ = memory_ ? byteSize : 0;
  mapped_ = size_;
}

void DiskBufferPointer::release() {
  if (memory_) VirtualFree(memory_, 0, MEM_RELEASE);
  memory_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

}  // namespace vantor

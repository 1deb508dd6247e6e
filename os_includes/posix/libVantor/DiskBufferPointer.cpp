// os_includes/posix/libVantor/DiskBufferPointer.cpp
//
// Anonymous private mmap(2): whole pages, page-aligned, zero-filled by the kernel.
#include <libVantor/internal/DiskBufferPointer.h>

#include <sys/mman.h>
#include <unistd.h>

#include <vrk/Assert.h>

namespace vantor {

DiskBufferPointer::DiskBufferPointer(std::size_t byteSize, OnFailure onFailure) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t wanted = byteSize == 0 ? page : byteSize;
  void* pVirtualAllocedMemory = nullptr;
  if (wanted <= SIZE_MAX - page) {
    const std::size_t bytes = (wanted + page - 1) / page * page;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      pVirtualAllocedMemory = p;
      mapped_ = bytes;
    }
  }
  if (onFailure == OnFailure::Assert) VRK_ASSERT(pVirtualAllocedMemory != NULL);
  memory_ = static_cast<u8*>(pVirtualAllocedMemory);
  size_ = memory_ ? byteSize : 0;
}

void DiskBufferPointer::release() {
  if (memory_) ::munmap(memory_, mapped_);
  memory_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

}  // namespace vantor

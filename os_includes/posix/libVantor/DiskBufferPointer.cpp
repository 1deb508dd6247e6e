// os_includes/posix/libVantor/DiskBufferPointer.cpp
//
// Anonymous private mmap(2): whole pages, page-aligned, zero-filled by the kernel.
// A block of HUGE_PAGE or more is aligned on HUGE_PAGE and asked to be made of huge pages
// (madvise(MADV_HUGEPAGE), where the system allows it): memory that is physically
// contiguous. A transfer between a drive and scattered 4 KiB pages is cut into requests of
// no more pages than the device takes segments (128 on a loop device: 512 KiB); from huge
// pages it goes out in requests of the largest size the device takes. A slow drive pays a
// fixed cost per request: fewer requests, less of it.
#include <libVantor/internal/DiskBufferPointer.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include <vrk/Assert.h>

namespace vantor {
namespace {

constexpr std::size_t HUGE_PAGE = 2u << 20;

// `bytes` (whole pages) of zero-filled memory, aligned on HUGE_PAGE when it is that large;
// null when the system has none.
void* mapBlock(std::size_t bytes) {
  if (bytes < HUGE_PAGE || bytes > SIZE_MAX - HUGE_PAGE) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  void* raw = ::mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (first + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  // What lies before and after the aligned block goes back.
  if (aligned > first) ::munmap(raw, aligned - first);
  const std::size_t after = HUGE_PAGE - (aligned - first);
  if (after > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), after);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  (void)::madvise(block, bytes, MADV_HUGEPAGE);  // only a hint: small pages serve as well
#endif
  return block;
}

}  // namespace

DiskBufferPointer::DiskBufferPointer(std::size_t byteSize, OnFailure onFailure) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t wanted = byteSize == 0 ? page : byteSize;
  void* pVirtualAllocedMemory = nullptr;
  if (wanted <= SIZE_MAX - page) {
    const std::size_t bytes = (wanted + page - 1) / page * page;
    if (void* p = mapBlock(bytes)) {
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

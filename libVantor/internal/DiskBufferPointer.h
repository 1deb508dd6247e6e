// libVantor/internal/DiskBufferPointer.h
//
// Owner of a page-aligned, zero-filled block of memory (each platform allocates it in
// os_includes/<platform>/libVantor/DiskBufferPointer.cpp) for sector transfers (also
// suitable for devices opened without the system cache). Copy deleted, move allowed;
// freed when the owner goes. A failed allocation is the assertion
// "pVirtualAllocedMemory != NULL" unless the caller asked for an empty owner instead.
//
//   DiskBufferPointer buffer(256 * disk.getSectorSize());
//   if (!disk.readSectors(lba, buffer.get(), 256)) ...
//   // buffer released here
#pragma once
#include <cstddef>

#include <libVantor/Types.h>

namespace vantor {

class DiskBufferPointer {
 public:
  enum class OnFailure { Assert, Empty };

  explicit DiskBufferPointer(std::size_t byteSize, OnFailure onFailure = OnFailure::Assert);
  ~DiskBufferPointer();
  DiskBufferPointer(const DiskBufferPointer&) = delete;
  DiskBufferPointer& operator=(const DiskBufferPointer&) = delete;
  DiskBufferPointer(DiskBufferPointer&& other) noexcept;
  DiskBufferPointer& operator=(DiskBufferPointer&& other) noexcept;

  u8* get() const { return memory_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return memory_ != nullptr; }

 private:
  void release();

  u8* memory_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

}  // namespace vantor

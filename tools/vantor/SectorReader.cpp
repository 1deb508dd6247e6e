#include "SectorReader.h"

#include <cstdlib>
#include <memory>

namespace vantor::cli {

std::vector<unsigned char> SectorReader::read(const IDisk& disk, u32 lba) {
  const u32 size = disk.getSectorSize();
  void* memory = nullptr;
  if (size == 0 || lba >= disk.getSizeSectors() || ::posix_memalign(&memory, 4096, size) != 0) return {};
  const std::unique_ptr<unsigned char, decltype(&std::free)> buffer(static_cast<unsigned char*>(memory), &std::free);
  if (!disk.readSectors(lba, buffer.get(), 1)) return {};
  return std::vector<unsigned char>(buffer.get(), buffer.get() + size);
}

}  // namespace vantor::cli

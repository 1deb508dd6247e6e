#include "SectorReader.h"

#include <vrk/Array.h>

namespace vantor::cli {

std::vector<unsigned char> SectorReader::read(const IDisk& disk, u32 lba) {
  const u32 size = disk.getSectorSize();
  if (size == 0 || lba >= disk.getSizeSectors()) return {};
  vrk::Buffer<unsigned char> buffer(size);  // page-aligned
  if (!disk.readSectors(lba, buffer.data(), 1)) return {};
  return std::vector<unsigned char>(buffer.data(), buffer.data() + size);
}

}  // namespace vantor::cli

#include <libVantor/IDisk.h>

#include <algorithm>

namespace vantor {

IDiskDataFilter::~IDiskDataFilter() = default;

bool IDiskDataFilter::filterReadData(u32, void*, u32) const { return true; }

bool IDiskDataFilter::filterWriteData(u32, const void*, u32) { return true; }

IDisk::IDisk(const IDisk& other) : dataFilter(other.dataFilter ? other.dataFilter->clone() : nullptr) {}

IDisk& IDisk::operator=(const IDisk& other) {
  if (this != &other) {
    IDiskDataFilter* copy = other.dataFilter ? other.dataFilter->clone() : nullptr;
    delete dataFilter;
    dataFilter = copy;
  }
  return *this;
}

IDisk::~IDisk() { delete dataFilter; }

bool IDisk::readSectors(u32 sectorOffset, void* buffer, u32 sectorCount) const {
  if (!impReadSectors(sectorOffset, buffer, sectorCount)) return false;
  return dataFilter ? dataFilter->filterReadData(sectorOffset, buffer, sectorCount) : true;
}

bool IDisk::writeSectors(u32 sectorOffset, const void* buffer, u32 sectorCount) {
  if (dataFilter && !dataFilter->filterWriteData(sectorOffset, buffer, sectorCount)) return false;
  return impWriteSectors(sectorOffset, buffer, sectorCount);
}

u32 IDisk::readSectorsInPieces(u32 sectorOffset, void* buffer, u32 sectorCount, u32 pieceSectors) const {
  if (pieceSectors == 0) pieceSectors = sectorCount;
  u8* bytes = static_cast<u8*>(buffer);
  const u64 sectorSize = getSectorSize();
  const bool whole = impReadSectors(sectorOffset, buffer, sectorCount);
  for (u32 done = 0; done < sectorCount; done += pieceSectors) {
    const u32 n = std::min(pieceSectors, sectorCount - done);
    u8* piece = bytes + done * sectorSize;
    // A failed request is read again piece by piece, so that the failure is the piece's.
    if (!whole && !impReadSectors(sectorOffset + done, piece, n)) return done;
    if (dataFilter && !dataFilter->filterReadData(sectorOffset + done, piece, n)) return done;
  }
  return sectorCount;
}

u32 IDisk::writeSectorsInPieces(u32 sectorOffset, const void* buffer, u32 sectorCount, u32 pieceSectors) {
  if (pieceSectors == 0) pieceSectors = sectorCount;
  const u8* bytes = static_cast<const u8*>(buffer);
  const u64 sectorSize = getSectorSize();
  u32 agreed = 0;  // the sectors the filter lets through: pieces up to the first it vetoes
  while (agreed < sectorCount) {
    const u32 n = std::min(pieceSectors, sectorCount - agreed);
    if (dataFilter && !dataFilter->filterWriteData(sectorOffset + agreed, bytes + agreed * sectorSize, n)) break;
    agreed += n;
  }
  if (agreed == 0 || impWriteSectors(sectorOffset, buffer, agreed)) return agreed;
  for (u32 done = 0; done < agreed; done += pieceSectors) {
    const u32 n = std::min(pieceSectors, agreed - done);
    if (!impWriteSectors(sectorOffset + done, bytes + done * sectorSize, n)) return done;
  }
  return agreed;
}

bool IDisk::impWriteSectors(u32, const void*, u32) { return false; }

bool IDisk::getDiskGeometry(DiskGeometry&) const { return false; }
MediaType IDisk::getMediaType() const { return MEDIA_UNKNOWN; }
void IDisk::getMountPoints(vrk::Array<vrk::String>&) const {}
bool IDisk::lockDrive() { return true; }
bool IDisk::unlockDrive() { return true; }
bool IDisk::dismountDrive() { return true; }
bool IDisk::mountDrive() { return true; }

void IDisk::setDataFilter(IDiskDataFilter* filter) {
  if (filter == dataFilter) return;
  delete dataFilter;
  dataFilter = filter;
}

boost::optional<CHSAddress> IDisk::getCHSAddressFromLBA(u64 lba, bool strict) const {
  DiskGeometry g;
  if (!getDiskGeometry(g) || g.tracksPerCylinder == 0 || g.sectorsPerTrack == 0) return boost::none;
  // The remainder is taken from the full 64-bit LBA, so an LBA of 2^32 or more converts
  // exactly or not at all.
  const u64 perCylinder = u64(g.tracksPerCylinder) * g.sectorsPerTrack;
  CHSAddress a;
  a.cylinder = lba / perCylinder;
  const u64 r = lba % perCylinder;
  a.head = static_cast<u32>(r / g.sectorsPerTrack);
  a.sector = (r % g.sectorsPerTrack) + 1;
  if (a.cylinder >= g.cylinders) {
    if (strict) return boost::none;
    // Non-strict: the last address of the geometry, which the check below refuses.
    a.cylinder = g.cylinders - 1;
    a.head = g.tracksPerCylinder - 1;
    a.sector = g.sectorsPerTrack;
  }
  const u64 back = getLBAAddressFromCHS(a).value_or(0);
  if (back != lba) return boost::none;
  return a;
}

boost::optional<u64> IDisk::getLBAAddressFromCHS(const CHSAddress& address) const {
  DiskGeometry g;
  if (!getDiskGeometry(g)) return u64(0);
  return (u64(g.tracksPerCylinder) * address.cylinder + address.head) * g.sectorsPerTrack + (address.sector - 1);
}

}  // namespace vantor

#include <libVantor/internal/SectorMap.h>

#include <algorithm>

namespace vantor {

SectorRange makeSectorRange(u32 firstSector, u32 numSectors, u32 sectorSize) {
  SectorRange range;
  range.sectorSize = sectorSize;
  range.firstSector = firstSector;
  range.numSectors = numSectors;
  range.lastSector = u64(firstSector) + numSectors - 1;
  return range;
}

void addSectorRange(SectorMap& map, const SectorRange& range) {
  if (range.numSectors == 0) return;
  SectorRange r = makeSectorRange(range.firstSector, range.numSectors, range.sectorSize);

  // Insertion point: after every run whose firstSector is at most r's.
  u32 p = map.size();
  while (p > 0 && r.firstSector < map[p - 1].firstSector) --p;

  // No run before p - 1 can touch r (the runs before it end before it begins, with a gap),
  // so the pass starts there; it runs to the end because r may swallow several runs.
  u32 i = p > 0 ? p - 1 : 0;
  while (i < map.size()) {
    const SectorRange& e = map[i];
    const u64 lo = std::max<u64>(e.firstSector, r.firstSector);
    const u64 hi = std::min<u64>(e.lastSector, r.lastSector);
    if (hi >= lo || hi + 1 == lo) {
      const u32 first = std::min(e.firstSector, r.firstSector);
      const u64 last = std::max(e.lastSector, r.lastSector);
      r.firstSector = first;
      r.numSectors = static_cast<u32>(last - first + 1);
      r.lastSector = u64(r.firstSector) + r.numSectors - 1;
      r.sectorSize = 512;
      map.remove(i);
      if (i + 1 == p) --p;
    } else {
      ++i;
    }
  }
  map.insert(p, r);
}

}  // namespace vantor

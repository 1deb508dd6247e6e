// libVantor/internal/SectorMap.h
// Runs of used sectors of a drive, as image capture copies them. A SectorMap lists its
// runs in ascending order of firstSector, never overlapping and never touching, so it is
// the smallest list of runs that covers exactly the sectors added to it; the sum of
// numSectors is the number of used sectors. Read it by plain indexing; change it only
// through addSectorRange, which keeps those invariants. A run made by merging always
// carries sectorSize 512, whatever its parts carried. A run of 0 sectors adds nothing.
// No locking: a map is not safe for concurrent change.
#pragma once
#include <libVantor/Types.h>
#include <vrk/Array.h>

namespace vantor {

// One run of consecutive used sectors. lastSector is firstSector + numSectors - 1,
// computed in 64 bits so that a run ending on sector 0xFFFFFFFF cannot wrap.
struct SectorRange {
  u32 sectorSize = 512;  // bytes per sector of the run
  u32 firstSector = 0;
  u32 numSectors = 0;
  u64 lastSector = 0;
};

// The run of `numSectors` sectors starting at `firstSector`, with its lastSector set.
SectorRange makeSectorRange(u32 firstSector, u32 numSectors, u32 sectorSize = 512);

using SectorMap = vrk::Array<SectorRange>;

// Adds `range` to `map`, merging it with every run it overlaps or touches. The range's
// lastSector is taken from firstSector and numSectors. Costs a pass from the insertion
// point to the end of the map, so runs added in ascending order cost one comparison each.
void addSectorRange(SectorMap& map, const SectorRange& range);

}  // namespace vantor

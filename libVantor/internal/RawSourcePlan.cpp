#include <libVantor/internal/RawSourcePlan.h>

#include <algorithm>

#include <libVantor/VantorException.h>
#include <libVantor/WriteSafety.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/internal/FullSectorCount.h>

namespace vantor {
namespace {

bool recognised(const DRIVE_LAYOUT& layout) {
  return layout.table != "none" || (!layout.volumes.empty() && !layout.volumes.front().fileSystem.empty());
}

void refuseUnrecognised(const DRIVE_LAYOUT& layout) {
  if (recognised(layout)) return;
  throw VantorException(ERR_UNSUPPORTED_FILE_SYSTEM,
                        "The source holds neither a partition table nor a file system this library knows");
}

}  // namespace

DRIVE_LAYOUT recognisedLayoutOf(IDisk& source) {
  DRIVE_LAYOUT layout = mapEveryVolume(source, true).layout;
  refuseUnrecognised(layout);
  return layout;
}

void refuseSourceOnTarget(const IDisk& source, const IDisk& target) {
  if (WriteSafety::shareMedium(source, target)) {
    throw VantorException(ERR_INVALID_ARGUMENT, "the source cannot be the target itself");
  }
}

RawSourcePlan planRawSource(IDisk& source, const IDisk& target, bool everySector, bool allowVolumeBeyondDrive) {
  const u32 sectorSize = target.getSectorSize();
  if (source.getSectorSize() != sectorSize) {
    throw VantorException(ERR_INCOMPATIBLE_IMAGE,
                          vrk::String("Source disk and device are incompatible. ") +
                              vrk::SprintfFormat("Source uses %u byte sectors, whereas device uses %u byte sectors.",
                                                 source.getSectorSize(), sectorSize));
  }
  const EveryVolumeMap mapped = mapEveryVolume(source, true);
  if (!everySector) refuseUnrecognised(mapped.layout);
  RawSourcePlan plan;
  plan.layout = mapped.layout;
  SectorMap taken = mapped.map;
  if (everySector) {
    refuseWholeDriveBeyondSectorNumbers(source, "copied");
    taken.clear();
    const u64 sectors = fullSectorCount(source);
    if (sectors > 0) taken.append(makeSectorRange(0, static_cast<u32>(sectors), sectorSize));
  }
  const u64 driveSectors = fullSectorCount(target);
  // A GPT's backup table is made anew at the target's end: it needs room there after
  // the last partition, and is not taken from the source.
  const boost::optional<GptLayout> gpt = soundGptOf(source);
  u64 skipFirst = 1, skipLast = 0;
  if (gpt) {
    plan.movesGpt = true;
    skipFirst = gpt->alternateSector - gpt->entriesSectors;
    skipLast = gpt->alternateSector;
    requireRoomForGptBackup(*gpt, driveSectors, "source's");
  } else if (!allowVolumeBeyondDrive && !plan.layout.volumes.empty() && mapped.highestVolumeSector >= driveSectors) {
    throw VantorException(
        ERR_VOLUME_TOO_LARGE,
        vrk::SprintfFormat("Storage device is too small for the source's volume:\n   Last Volume Sector:    %08I64Xh\n"
                           "   Highest Drive Sector:  %08I64Xh\n",
                           mapped.highestVolumeSector, driveSectors - 1));
  }
  u64 highest = 0;
  for (const SectorRange& range : taken) {
    const u64 end = u64(range.firstSector) + range.numSectors;
    const auto add = [&](u64 from, u64 to) {
      if (from >= to) return;
      plan.runs.append(makeSectorRange(static_cast<u32>(from), static_cast<u32>(to - from), sectorSize));
      plan.totalSectors += to - from;
      highest = std::max(highest, to - 1);
    };
    if (skipFirst > skipLast || skipLast < range.firstSector || skipFirst >= end) {
      add(range.firstSector, end);
    } else {
      add(range.firstSector, std::max<u64>(range.firstSector, skipFirst));
      add(std::min(end, skipLast + 1), end);
    }
  }
  if (plan.totalSectors > 0 && highest >= driveSectors) {
    throw VantorException(
        ERR_VOLUME_TOO_LARGE,
        vrk::SprintfFormat("Source holds used sectors beyond the drive capacity.\n   Highest Used Sector:   %08I64Xh\n"
                           "   Highest Drive Sector:  %08I64Xh\n",
                           highest, driveSectors - 1));
  }
  return plan;
}

}  // namespace vantor

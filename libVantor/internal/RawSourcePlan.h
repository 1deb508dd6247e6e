// libVantor/internal/RawSourcePlan.h
// What a restore or a verify takes from a raw source, a disk whose sectors lie as on a
// drive (a disk file holding a whole disk, or another drive): the used sectors of every
// volume as capture maps them (EveryVolumeMap), or with `everySector` every sector of the
// source; in both, a sound GPT's backup table is left out, since a restore makes it anew
// at the target's own end. Every refusal comes here, before anything is written, and
// throws VantorException: another sector size (ERR_INCOMPATIBLE_IMAGE); a source that
// holds neither a table nor a file system the mappers know, unless `everySector`
// (ERR_UNSUPPORTED_FILE_SYSTEM); a volume reaching past the target's last sector, unless
// `allowVolumeBeyondDrive`, a GPT's partitions and backup table that do not fit, or a
// sector to take that lies past the target's end (ERR_VOLUME_TOO_LARGE). So a source
// larger than the target passes when what lies past the target's end is not taken.
// Reads the source only; no state.
#pragma once
#include <boost/optional.hpp>

#include <libVantor/DriveVolumes.h>
#include <libVantor/IDisk.h>
#include <libVantor/internal/GptLayout.h>
#include <libVantor/internal/SectorMap.h>

namespace vantor {

struct RawSourcePlan {
  SectorMap runs;          // the sectors to write or compare, ascending
  u64 totalSectors = 0;    // the sum of the runs
  bool movesGpt = false;   // the GPT's backup table is left out, for the restore to make anew
  DRIVE_LAYOUT layout;     // what the source holds, as a capture of every volume reads it
};

// The source's layout; refuses one that holds neither a partition table nor a file
// system the mappers know (ERR_UNSUPPORTED_FILE_SYSTEM).
DRIVE_LAYOUT recognisedLayoutOf(IDisk& source);

RawSourcePlan planRawSource(IDisk& source, const IDisk& target, bool everySector, bool allowVolumeBeyondDrive);

// Refuses (ERR_INVALID_ARGUMENT) a source that shares its medium with the target.
void refuseSourceOnTarget(const IDisk& source, const IDisk& target);

}  // namespace vantor

#include "RawSource.h"

#include <libVantor/DiskImager.h>
#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>

#include "ImageFile.h"

namespace vantor::cli {

bool RawSource::isRaw(const std::string& path) {
  const PathFacts::Kind kind = PathFacts::inspect(path).kind;
  return kind == PathFacts::Kind::Drive || (kind == PathFacts::Kind::Regular && !ImageFile::startsWithImage(path));
}

RawSource::RawSource(std::string argument, std::uint32_t sectorSize, std::shared_ptr<Target> target,
                     DRIVE_LAYOUT layout)
    : argument_(std::move(argument)), sectorSize_(sectorSize), target_(std::move(target)), layout_(std::move(layout)) {}

RawSource RawSource::open(const std::string& argument, std::uint32_t sectorSize, bool writing) {
  TargetOptions options;
  options.sectorSize = sectorSize;
  auto target = std::make_shared<Target>(Target::open(argument, options));
  DRIVE_LAYOUT layout;
  try {
    layout = DiskImager::getSourceLayout(target->device().rawDisk());
  } catch (const VantorException& error) {
    if (error.getErrorCode() == ERR_INVALID_ARGUMENT) throw;  // sector numbers do not reach its end
    // The library's words follow, unless they only say what this sentence says.
    const vrk::String why =
        error.getErrorCode() == ERR_UNSUPPORTED_FILE_SYSTEM ? vrk::String() : " (" + error.getMessage() + ")";
    throw VantorException(ERR_INVALID_IMAGE_FILE,
                          vrk::String("\"") + argument +
                              "\" is neither a captured image nor a disk image with a partition table or a file "
                              "system vantor knows" + why + (writing ? "; nothing was written" : ""));
  }
  return RawSource(argument, sectorSize, std::move(target), std::move(layout));
}

std::shared_ptr<IDisk> RawSource::reopen() const {
  TargetOptions options;
  options.sectorSize = sectorSize_;
  reopened_.push_back(std::make_shared<Target>(Target::open(argument_, options)));
  return reopened_.back()->device().rawDiskPtr();
}

}  // namespace vantor::cli

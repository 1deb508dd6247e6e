#include "TargetGuard.h"

#include <libVantor/PathFacts.h>
#include <libVantor/VantorException.h>

#include "ImageFile.h"
#include "SectorReader.h"

namespace vantor::cli {
namespace {

bool holdsImage(const Target& target) {
  const std::vector<unsigned char> first = SectorReader::read(target.device().rawDisk(), 0);
  if (ImageFile::hasSignature(first.data(), first.size())) return true;
  return PathFacts::inspect(target.path()).kind == PathFacts::Kind::Regular &&
         ImageFile::startsWithImage(target.path());
}

}  // namespace

void TargetGuard::add(const Target& target) {
  items_.push_back({&target, holdsImage(target) ? "a captured image" : ""});
}

void TargetGuard::addZeroed(const Target& target, const Spans& zeroed) {
  addHolding(target, zeroed, "data where the zeros go");
}

void TargetGuard::addReplaced(const Target& target) {
  addHolding(target, {{0, target.device().capacityBytes()}}, "data");
}

void TargetGuard::addHolding(const Target& target, const Spans& spans, const std::string& what) {
  add(target);
  if (!items_.back().holds.empty() || target.isBlockDevice()) return;
  const std::int64_t data = PathFacts::firstNonZeroByte(target.path(), spans);
  if (data >= 0) items_.back().holds = what + " (a non-zero byte at offset " + std::to_string(data) + ")";
}

void TargetGuard::require(const std::string& action) const {
  std::vector<Confirmation::Item> asked;
  const Confirmation::Item* valued = nullptr;
  for (const Confirmation::Item& item : items_) {
    if (!item.holds.empty() && valued == nullptr) valued = &item;
    if (item.target->isBlockDevice() || !item.holds.empty() || !risks_.empty()) asked.push_back(item);
  }
  if (asked.empty() || force_ || (yes_ && valued == nullptr)) return;
  std::string risky = action;
  for (const std::string& risk : risks_) risky += ", " + risk;
  if (yes_) {
    throw VantorException(ERR_ABORTED, vrk::String(valued->target->path()) + " holds " + valued->holds +
                                           ": --yes does not answer for that, --force does; nothing was written");
  }
  Confirmation::ask(asked, risky, valued != nullptr ? "--force" : "--yes");
}

}  // namespace vantor::cli

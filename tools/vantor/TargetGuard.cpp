#include "TargetGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <libVantor/VantorException.h>

#include "ImageFile.h"
#include "SectorReader.h"

namespace vantor::cli {
namespace {

bool holdsImage(const Target& target) {
  const std::vector<unsigned char> first = SectorReader::read(target.device().rawDisk(), 0);
  return ImageFile::hasSignature(first.data(), first.size());
}

// The offset of the first non-zero byte of the file at `path` inside `spans`, or -1.
// Holes read as zeros and are skipped without reading them.
std::int64_t firstNonZeroByte(const std::string& path, const TargetGuard::Spans& spans) {
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  const int fd = file.fd;
  if (fd < 0) return -1;
  std::vector<char> buffer(1 << 20);
  for (const auto& span : spans) {
    const off_t end = static_cast<off_t>(span.first + span.second);
    off_t at = static_cast<off_t>(span.first);
    while (at < end) {
      off_t data = ::lseek(fd, at, SEEK_DATA);
      if (data < 0 && errno == ENXIO) break;  // nothing but holes from here on
      if (data < 0) data = at;                  // no hole support: read everything
      if (data >= end) break;
      off_t hole = ::lseek(fd, data, SEEK_HOLE);
      if (hole < 0 || hole > end) hole = end;
      for (at = data; at < hole;) {
        const ssize_t got = ::pread(fd, buffer.data(), std::min<off_t>(hole - at, buffer.size()), at);
        if (got <= 0) return -1;
        const auto nonZero = std::find_if(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; });
        if (nonZero != buffer.begin() + got) return at + (nonZero - buffer.begin());
        at += got;
      }
    }
  }
  return -1;
}

}  // namespace

void TargetGuard::add(const Target& target) {
  items_.push_back({&target, holdsImage(target) ? "a captured image" : ""});
}

void TargetGuard::addZeroed(const Target& target, const Spans& zeroed) {
  add(target);
  if (!items_.back().holds.empty() || target.isBlockDevice()) return;
  const std::int64_t data = firstNonZeroByte(target.path(), zeroed);
  if (data >= 0) {
    items_.back().holds = "data where the zeros go (a non-zero byte at offset " + std::to_string(data) + ")";
  }
}

void TargetGuard::require(const std::string& action) const {
  std::vector<Confirmation::Item> asked;
  const Confirmation::Item* valued = nullptr;
  for (const Confirmation::Item& item : items_) {
    if (!item.holds.empty() && valued == nullptr) valued = &item;
    if (item.target->isBlockDevice() || !item.holds.empty()) asked.push_back(item);
  }
  if (asked.empty() || force_ || (yes_ && valued == nullptr)) return;
  if (yes_) {
    throw VantorException(ERR_ABORTED, vrk::String(valued->target->path()) + " holds " + valued->holds +
                                           ": --yes does not answer for that, --force does; nothing was written");
  }
  Confirmation::ask(asked, action, valued != nullptr ? "--force" : "--yes");
}

}  // namespace vantor::cli

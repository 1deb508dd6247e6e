#include <libVantor/PathFacts.h>

#include <algorithm>
#include <vector>

#include <libVantor/internal/DiskHandleOps.h>
#include <libVantor/internal/FileCommitOps.h>
#include <libVantor/internal/PathOps.h>
#include <vrk/Resource.h>

namespace vantor {

PathFacts::Info PathFacts::inspect(const std::string& path) {
  u64 size = 0;
  switch (os::pathKind(path, size)) {
    case os::PathKind::Missing: return {};
    case os::PathKind::Regular: return {Kind::Regular, size};
    case os::PathKind::Directory: return {Kind::Directory, 0};
    case os::PathKind::Drive: return {Kind::Drive, 0};
    case os::PathKind::Other: break;
  }
  return {Kind::Other, 0};
}

bool PathFacts::isSymbolicLink(const std::string& path) { return os::isSymbolicLink(path); }

std::string PathFacts::identity(const std::string& path) { return os::pathIdentity(path).str(); }

bool PathFacts::isDrivePath(const std::string& path) { return os::isDrivePath(path); }

std::string PathFacts::createNew(const std::string& path) {
  bool existed = false;
  if (os::createNewFile(path, existed)) return std::string();
  const int error = os::lastSystemError();
  return os::systemErrorText(error).str();
}

void PathFacts::remove(const std::string& path) { (void)os::removeFile(path); }

std::int64_t PathFacts::firstNonZeroByte(const std::string& path, const Spans& spans) {
  const vrk::FileHandle file(os::openFile(path, false, true));
  if (!file.isValid()) return -1;
  std::vector<char> buffer(1 << 20);
  for (const auto& [start, count] : spans) {
    const u64 end = start + count;
    u64 first = 0;
    u64 last = 0;
    for (u64 at = start; at < end && os::nextDataSpan(file.get(), at, end, first, last); at = last) {
      for (u64 offset = first; offset < last;) {
        u32 got = 0;
        const auto wanted = static_cast<u32>(std::min<u64>(last - offset, buffer.size()));
        if (!os::seekTo(file.get(), offset) || !os::readOnce(file.get(), buffer.data(), wanted, got)) return -1;
        if (got == 0) break;  // the end of the file: what lies past it is no data
        const auto nonZero = std::find_if(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; });
        if (nonZero != buffer.begin() + got) return static_cast<std::int64_t>(offset + (nonZero - buffer.begin()));
        offset += got;
      }
    }
  }
  return -1;
}

}  // namespace vantor

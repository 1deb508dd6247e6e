// tests/support/Spans.h
// Sector runs as plain [first, last] pairs, for comparing a SectorMap with a reference
// worked out without it, and for readable failure messages.
#pragma once
#include <set>
#include <utility>
#include <vector>

#include <libVantor/internal/SectorMap.h>

namespace vantor::test {

using Span = std::pair<u64, u64>;  // the first and the last sector of a run

inline std::vector<Span> spansOf(const SectorMap& map) {
  std::vector<Span> spans;
  for (const SectorRange& r : map) spans.push_back({r.firstSector, r.lastSector});
  return spans;
}

// The smallest list of runs covering `sectors`, worked out without the sector map.
inline std::vector<Span> spansOf(const std::set<u64>& sectors) {
  std::vector<Span> spans;
  for (u64 s : sectors) {
    if (!spans.empty() && spans.back().second + 1 == s) spans.back().second = s;
    else spans.push_back({s, s});
  }
  return spans;
}

}  // namespace vantor::test

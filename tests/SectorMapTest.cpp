// The sector map: runs stay ascending, never overlap or touch, and cover exactly the
// sectors added.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <vector>

#include <libVantor/internal/SectorMap.h>

#include "support/Spans.h"

namespace vantor {
namespace {

using test::Span;
const auto runsOf = [](const SectorMap& map) { return test::spansOf(map); };

std::vector<Span> runsAfterAdding(const std::vector<Span>& add) {
  SectorMap map;
  for (const Span& r : add) addSectorRange(map, makeSectorRange(static_cast<u32>(r.first), static_cast<u32>(r.last - r.first + 1)));
  return runsOf(map);
}

TEST(SectorMap, MergesRunsThatTouchOrOverlap) {
  struct Case {
    const char* what;
    std::vector<Span> add, expect;
  };
  const Case cases[] = {
      {"touching", {{10, 19}, {20, 29}}, {{10, 29}}},
      {"touching, added in reverse", {{20, 29}, {10, 19}}, {{10, 29}}},
      {"one sector apart", {{10, 19}, {21, 29}}, {{10, 19}, {21, 29}}},
      {"added out of order", {{21, 29}, {10, 19}}, {{10, 19}, {21, 29}}},
      {"a bridge", {{10, 19}, {30, 39}, {20, 29}}, {{10, 39}}},
      {"inside an existing run", {{10, 39}, {15, 20}}, {{10, 39}}},
      {"covering several runs", {{10, 12}, {20, 22}, {30, 32}, {50, 52}, {5, 40}}, {{5, 40}, {50, 52}}},
      {"same first sector, shorter", {{10, 19}, {10, 12}}, {{10, 19}}},
      {"same first sector, longer", {{10, 19}, {10, 25}}, {{10, 25}}},
      {"overlapping the start of the next run", {{20, 29}, {40, 49}, {15, 21}}, {{15, 29}, {40, 49}}},
      {"overlapping the end of the previous run", {{20, 29}, {40, 49}, {25, 35}}, {{20, 35}, {40, 49}}},
      {"starting before every run and reaching into the second", {{20, 29}, {40, 49}, {0, 41}}, {{0, 49}}},
      {"sector 0", {{1, 5}, {0, 0}}, {{0, 5}}},
      {"up to the last 32-bit sector", {{0xFFFFFFF0u, 0xFFFFFFFFull}, {0xFFFFFFE0u, 0xFFFFFFEFull}},
       {{0xFFFFFFE0u, 0xFFFFFFFFull}}},
      {"a chain of clusters in ascending order", {{100, 103}, {104, 107}, {108, 111}, {116, 119}},
       {{100, 111}, {116, 119}}},
  };
  for (const Case& c : cases) EXPECT_EQ(runsAfterAdding(c.add), c.expect) << c.what;
}

TEST(SectorMap, MergedRunsCarry512ByteSectors) {
  SectorMap map;
  addSectorRange(map, makeSectorRange(0, 8, 4096));
  EXPECT_EQ(map[0].sectorSize, 4096u) << "a run that merged with nothing keeps its sector size";
  addSectorRange(map, makeSectorRange(8, 8, 4096));
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].sectorSize, 512u);
  EXPECT_EQ(map[0].numSectors, 16u);
  EXPECT_EQ(map[0].lastSector, 15u);
}

TEST(SectorMap, EmptyRunAddsNothing) {
  SectorMap map;
  addSectorRange(map, makeSectorRange(0, 0));
  addSectorRange(map, makeSectorRange(100, 0));
  EXPECT_TRUE(map.empty());
}

// Property check against a plain set of sectors: whatever is added, in any order, the
// map must be the smallest ascending list of runs covering exactly that set.
TEST(SectorMap, AgreesWithASetOfSectorsOnRandomRuns) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 300; ++round) {
    const u32 span = 50 + random() % 2000;
    const int adds = 1 + static_cast<int>(random() % 60);
    SectorMap map;
    std::set<u32> model;
    std::ostringstream history;
    for (int a = 0; a < adds; ++a) {
      const u32 first = random() % span;
      const u32 count = 1 + random() % (random() % 4 == 0 ? 200 : 8);
      history << "+[" << first << "," << count << "] ";
      addSectorRange(map, makeSectorRange(first, count));
      for (u32 s = first; s < first + count; ++s) model.insert(s);
    }
    SCOPED_TRACE(history.str());

    std::set<u32> covered;
    for (u32 i = 0; i < map.size(); ++i) {
      const SectorRange& r = map[i];
      ASSERT_GT(r.numSectors, 0u);
      ASSERT_EQ(r.lastSector, u64(r.firstSector) + r.numSectors - 1);
      if (i > 0) {
        ASSERT_GT(u64(r.firstSector), map[i - 1].lastSector + 1)
            << "runs " << i - 1 << " and " << i << " overlap, touch or are out of order";
      }
      for (u64 s = r.firstSector; s <= r.lastSector; ++s) covered.insert(static_cast<u32>(s));
    }
    ASSERT_EQ(covered, model);
  }
}

}  // namespace
}  // namespace vantor

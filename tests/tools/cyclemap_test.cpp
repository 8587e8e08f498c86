// tarsel-synth: the cycle map names, for every cycle, the blocks that carry it and the block
// that closes it, at their real positions in the whole stream.
#include <algorithm>

#include "synth_fixture.h"

namespace {

struct MapCase {
  const char* name;
  std::vector<std::string> options;
};

class SynthCycleMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(SynthCycleMap, EveryListedBlockIsABlockOfItsCycle) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir);
  s.cycleMapPath = dir.file("map.jsonl");
  for (size_t i = 0; i + 1 < GetParam().options.size(); i += 2)
    ASSERT_EQ(synth::applyOption(s, GetParam().options[i], GetParam().options[i + 1]), "");
  synth::Manifest m = synthesise(s);
  Bytes stream = wholeStream(m);
  ASSERT_FALSE(m.cycles.empty());

  std::map<std::pair<std::string, uint8_t>, const synth::CycleRecord*> before;
  std::vector<uint64_t> all;
  for (const synth::CycleRecord& c : m.cycles) {
    SCOPED_TRACE(c.flow + " cycle " + std::to_string(c.cycle));
    const synth::CycleRecord*& last = before[{c.flow, c.sourceId}];
    EXPECT_EQ(c.cycle, last ? last->cycle + 1 : 0u);
    if (last) {
      EXPECT_EQ(last->close, static_cast<int64_t>(c.blocks.at(0)));  // its first block closes the one before
    }
    last = &c;
    for (uint64_t offset : c.blocks) {
      ASSERT_LE(offset + synth::recorderBlockSize, stream.size());
      const uint8_t* block = stream.data() + offset;
      EXPECT_TRUE(hasMarker(block)) << offset;
      EXPECT_EQ(block[9], c.sourceId) << offset;
      uint32_t address = u32(block);
      EXPECT_TRUE(address >= c.address && address < c.address + c.bytes && (address - c.address) % 256 == 0)
          << std::hex << address << " at " << std::dec << offset;
      all.push_back(offset);
    }
  }
  for (const auto& [key, last] : before) EXPECT_EQ(last->close, -1) << key.first;
  // No block is listed twice, and every block of a known flow is listed.
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.size(), m.blocks);

  std::string lines = synth::cycleMapLines(m);
  EXPECT_EQ(static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n')), m.cycles.size());
  EXPECT_NE(lines.find("{\"flow\": \"" + m.cycles[0].flow + "\", \"source\": "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SynthCycleMap,
    ::testing::Values(MapCase{"OneFile", {}},
                      MapCase{"SplitFilesThatBlocksStraddle", {"split-bytes", "70001", "interleave", "1"}},
                      MapCase{"RepeatedBlock", {"fault", "duplicated-block:flow=F-SUM,at=2,block=1"}},
                      MapCase{"SecondSource", {"fault", "second-source:flow=F-HDR,at=1,source=V"}},
                      MapCase{"LeftOutBlock", {"fault", "missing-block:flow=F-DAZ,at=3,block=2"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SynthCycleMapFlags, ACycleWithALeftOutBlockIsIncompleteAndNoMapMeansNoRecords) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir);
  addFault(s, "missing-block:flow=F-DAZ,at=3,block=2");
  EXPECT_TRUE(synthesise(s).cycles.empty());
  s.cycleMapPath = dir.file("map.jsonl");
  synth::Manifest m = synthesise(s);
  std::vector<uint32_t> incomplete;
  for (const auto& c : m.cycles)
    if (!c.complete) incomplete.push_back(c.cycle);
  EXPECT_EQ(incomplete, std::vector<uint32_t>{3u});
  EXPECT_EQ(countOf(m, "F-DAZ", 0x33)->partialCycles, 1u);
}

}  // namespace

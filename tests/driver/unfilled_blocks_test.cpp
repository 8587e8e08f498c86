// Blocks that never arrived read as 0xCA in what the run saves, however the storage behind
// them was used before: a flow's storage is filled only as far as stores and readers reach.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/recording.h"
#include "support/run_program.h"

namespace {

constexpr uint32_t fHdr = 0x80000000;  // 16 blocks a half
constexpr uint8_t fill = 0xCA;

struct Stored {
  uint32_t index;
  uint8_t value;  // 0: a block that does not arrive
};

struct UnfilledCase {
  const char* name;
  std::vector<std::vector<Stored>> cycles;  // all in half A; the last is flushed at the end
};

Bytes recordingOf(const UnfilledCase& c) {
  Bytes recording;
  for (const auto& cycle : c.cycles)
    for (const Stored& s : cycle)
      if (s.value != 0) append(recording, filledBlock(fHdr + s.index * 256, sourceDsp, s.value));
  return recording;
}

// The data of the flushed record: the last cycle up to its highest block, holes as fill.
Bytes flushedData(const UnfilledCase& c) {
  const auto& last = c.cycles.back();
  uint32_t blocks = 0;
  for (const Stored& s : last) blocks = std::max(blocks, s.index + 1);
  Bytes data(blocks * 256, fill);
  for (const Stored& s : last)
    if (s.value != 0) std::fill_n(data.begin() + s.index * 256, 256, s.value);
  return data;
}

std::vector<Stored> wholeCycle(uint8_t value) {
  std::vector<Stored> cycle;
  for (uint32_t i = 0; i < 16; ++i) cycle.push_back({i, value});
  return cycle;
}

const UnfilledCase unfilledCases[] = {
    {"HoleInTheFlushedCycle", {{{0, 0x11}, {3, 0x44}}}},
    {"HoleWhereTheCycleBeforeHadData", {wholeCycle(0x22), {{0, 0x33}, {2, 0x35}}}},
    {"HoleBelowAFarBlockOfADisregardedCycle", {{{0, 0x11}, {12, 0x1C}}, {{0, 0x55}, {1, 0}, {14, 0x5E}}}},
    {"CycleShorterThanTheOneBefore", {wholeCycle(0x22), {{0, 0x66}, {1, 0x67}}}},
};

class UnfilledBlocks : public ::testing::TestWithParam<UnfilledCase> {
 protected:
  TempDir dir;
};

}  // namespace

TEST_P(UnfilledBlocks, ReadAsFillInTheSavedRecord) {
  const UnfilledCase& c = GetParam();
  writeFile(dir.file("a.rec"), recordingOf(c));
  ProgramResult r = runProgram(dir, tarselPath(), "a.rec //o");
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes destination = readFile(dir.file("a-cv.out"));
  const Bytes expected = flushedData(c);
  ASSERT_GE(destination.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), destination.end() - expected.size()))
      << r.err;
}

INSTANTIATE_TEST_SUITE_P(Cycles, UnfilledBlocks, ::testing::ValuesIn(unfilledCases),
                         [](const auto& param) { return std::string(param.param.name); });

// tarsel-synth against the converter: tarsel reads a synthetic recording and reports the
// cycles per flow and the damage that the manifest states.
#include <regex>

#include "support/run_program.h"
#include "synth_fixture.h"

namespace {

class SynthRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(tarselPath())) GTEST_SKIP() << "tarsel is not built";
  }

  // Runs tarsel on the first file of the recording (numbered files with /concatenate).
  ProgramResult convert(const synth::Manifest& m, const std::string& qualifiers) {
    return runProgram(dir, tarselPath(), m.files.front().name + " /concatenate " + qualifiers);
  }

  // The closing "%s@%0X: %d (...)" lines: (flow, source id) -> cycles.
  static std::map<std::pair<std::string, unsigned>, unsigned> flowCounts(const std::string& log) {
    std::map<std::pair<std::string, unsigned>, unsigned> counts;
    static const std::regex line(R"(tarsel-S: (\S+)@([0-9A-F]+): (\d+) \(0x)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
      counts[{(*it)[1].str(), static_cast<unsigned>(std::stoul((*it)[2].str(), nullptr, 16))}] =
          static_cast<unsigned>(std::stoul((*it)[3].str()));
    return counts;
  }

  // What the run counts: every complete cycle, and the last one also when partial (it is flushed).
  static unsigned expectedCycles(const synth::FlowCount& f) {
    return f.completeCycles + (f.lastCyclePartial ? 1 : 0);
  }

  static size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempDir dir;
};

TEST_F(SynthRoundTrip, EveryFlowsCyclesAreCountedAcrossNumberedFiles) {
  synth::Scenario s = smallScenario(dir, 10);
  s.splitBytes = 700001;
  s.firstIndex = 3;
  synth::Manifest m = synthesise(s);
  ASSERT_GE(m.files.size(), 3u);
  ProgramResult r = convert(m, "/hfw");
  ASSERT_EQ(r.status, 0) << r.err;
  auto counts = flowCounts(r.err);
  ASSERT_EQ(counts.size(), m.flows.size()) << r.err;
  for (const auto& f : m.flows) EXPECT_EQ((counts[{f.name, f.sourceId}]), expectedCycles(f)) << f.name;
  EXPECT_NE(r.err.find("tarsel-S:   batches  :  1000..1009=9\n"), std::string::npos) << r.err;
  std::string processed = "3.." + std::to_string(2 + m.files.size()) + ": processed " + std::to_string(m.files.size()) + " files";
  EXPECT_NE(r.err.find(processed), std::string::npos) << processed;
  EXPECT_EQ(r.err.find("-E"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("-W"), std::string::npos) << r.err;
}

TEST_F(SynthRoundTrip, SoftwareHeaderCopiesDriveTheBatchStatistics) {
  synth::Scenario s = smallScenario(dir, 8);
  s.standby = {{5, 3}};
  synth::Manifest m = synthesise(s);
  ProgramResult r = convert(m, "");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("-W[" + m.files[0].name), std::string::npos);
  EXPECT_NE(r.err.find("batch hole: 1004 -> 1008 (4) - standby?"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("batch restart: 1008 -> 1009 (1) - exit from standby?"), std::string::npos);
  EXPECT_NE(r.err.find("tarsel-S:   batches  :  1000..1010=10\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("A/C position: 45.400002 latitude, 9.200000 longitude"), std::string::npos);
}

TEST_F(SynthRoundTrip, DamageIsReportedWhereTheManifestPutsIt) {
  synth::Scenario s = smallScenario(dir, 8);
  for (const char* fault : {"stray-bytes:bytes=48", "missing-block:flow=F-SUM,at=3,block=5",
                            "duplicated-block:flow=F-HDR,at=2,block=1", "truncated-block:flow=PC,at=4,block=2",
                            "unknown-address:address=0x31000000,count=5", "second-source:flow=F-HDR,source=V"})
    addFault(s, fault);
  synth::Manifest m = synthesise(s);
  ProgramResult r = convert(m, "/hfw");
  ASSERT_EQ(r.status, 0) << r.err;
  auto counts = flowCounts(r.err);
  for (const auto& f : m.flows) EXPECT_EQ((counts[{f.name, f.sourceId}]), expectedCycles(f)) << f.name;
  EXPECT_EQ((counts[{"F-SUM", 0x33}]), 7u);
  EXPECT_EQ((counts[{"F-HDR", 0x56}]), 1u);
  EXPECT_EQ(occurrences(r.err, "-I[" + m.files[0].name + "]: leading incomplete block"), 1u);  // then at level 1
  EXPECT_EQ(occurrences(r.err, "-S[" + m.files[0].name + ":48]: First block found"), 1u);
  EXPECT_EQ(occurrences(r.err, "F-SUM: partial flow disregarded, arrived=7, expected=8"), 1u);
  EXPECT_EQ(occurrences(r.err, "F-HDR: duplicated: 1"), 1u);
  EXPECT_EQ(occurrences(r.err, "Back retry: "), 2u);
  EXPECT_EQ(occurrences(r.err, "Flow: F-HDR@86 b=0x80000000 a=0x80000000"), 1u);
  EXPECT_NE(r.err.find("tarsel-W:   @31000000: 5\n"), std::string::npos) << r.err;
  // The truncated block: the next header is read 32 bytes into the following block.
  const synth::FaultRecord& cut = faultOf(m, "truncated-block");
  char incomplete[64];
  std::snprintf(incomplete, sizeof incomplete, "Incomplete block (0x%llX)",
                static_cast<unsigned long long>(cut.offset + 272));
  EXPECT_NE(r.err.find(incomplete), std::string::npos) << incomplete << "\n" << r.err;
}

}  // namespace

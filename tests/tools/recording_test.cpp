// tarsel-synth: framing, cycles, determinism, numbered files and splitting.
#include "synth_fixture.h"

namespace {

TEST(SynthRecording, IsTheSameForTheSameSeedAndDiffersForAnother) {
  TempDir a, b, c;
  synth::Scenario first = smallScenario(a);
  synth::Scenario second = smallScenario(b);
  synth::Scenario third = smallScenario(c);
  third.seed = 2;
  synth::Manifest ma = synthesise(first), mb = synthesise(second), mc = synthesise(third);
  Bytes sa = wholeStream(ma);
  EXPECT_EQ(sa, wholeStream(mb));
  EXPECT_EQ(synth::manifestJson(first, ma), synth::manifestJson(second, mb));
  ASSERT_EQ(sa.size(), wholeStream(mc).size());  // same layout of blocks...
  EXPECT_NE(sa, wholeStream(mc));                // ...other samples
}

TEST(SynthRecording, EveryBlockIsFramedAndLiesInsideItsFlow) {
  TempDir dir;
  synth::Manifest m = synthesise(smallScenario(dir));
  Bytes stream = wholeStream(m);
  ASSERT_EQ(stream.size() % synth::recorderBlockSize, 0u);
  EXPECT_EQ(stream.size(), m.totalBytes);
  EXPECT_EQ(stream.size() / synth::recorderBlockSize, m.blocks);
  std::map<std::string, uint8_t> sources;
  for (size_t pos = 0; pos < stream.size(); pos += synth::recorderBlockSize) {
    const uint8_t* block = stream.data() + pos;
    ASSERT_TRUE(hasMarker(block)) << pos;
    EXPECT_EQ(block[8], 1);  // source tag
    int f = synth::claimingFlow(u32(block));
    ASSERT_GE(f, 0) << pos;
    const synth::FlowDef& def = synth::builtInFlows()[f];
    uint32_t address = u32(block);
    EXPECT_TRUE(address - def.base < def.size || address - (def.base + def.pingpong) < def.size);
    EXPECT_EQ(address % 256, def.base % 256);
    sources[def.name] = block[9];
  }
  EXPECT_EQ(sources["SOFT"], 'S');
  EXPECT_EQ(sources["SOFTDFE"], 'V');
  EXPECT_EQ(sources["F-SUM"], '3');
  EXPECT_EQ(sources["VIDEO"], '3');
  EXPECT_EQ(sources.size(), 21u);  // every flow of the layout but the two whose base another flow owns
  EXPECT_EQ(m.skippedFlows.count("F-DC1DEL"), 1u);
  EXPECT_EQ(m.skippedFlows.count("SWGUARD"), 1u);
}

TEST(SynthRecording, CyclesAreWholeInOrderAndCountedInTheManifest) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir);
  s.interleave = 3;
  synth::Manifest m = synthesise(s);
  std::vector<Cycle> cycles = readCycles(wholeStream(m));
  std::map<std::pair<std::string, uint8_t>, uint32_t> counted;
  for (const Cycle& c : cycles) {
    EXPECT_TRUE(c.inOrder) << c.flow << " at " << c.offset;
    ++counted[{c.flow, c.source}];
  }
  ASSERT_EQ(counted.size(), m.flows.size());
  for (const auto& f : m.flows) {
    EXPECT_EQ((counted[{f.name, f.sourceId}]), f.cycles) << f.name;
    EXPECT_EQ(f.completeCycles, f.cycles) << f.name;
  }
  // Ping-pong flows alternate their halves, flows without one restart at the base.
  auto sum = cyclesOf(cycles, "F-SUM");
  ASSERT_EQ(sum.size(), 6u);
  for (size_t i = 0; i < sum.size(); ++i) EXPECT_EQ(sum[i]->start, 0x80101000u + (i % 2) * 0x1000000u);
  for (const Cycle* c : cyclesOf(cycles, "SOFT")) EXPECT_EQ(c->start, 0xF0000000u);
  EXPECT_EQ(sum[0]->data.size(), 8u * 64 * 4);
  // UNKNOW1's halves overlap, so it is written from its first half only.
  for (const Cycle* c : cyclesOf(cycles, "UNKNOW1")) EXPECT_EQ(c->start, 0x70000000u);
}

TEST(SynthRecording, SignalFlowsStopWhereAnotherFlowsAddressesBegin) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir, 2);
  s.rows = 512;
  s.cols = 1024;  // 2 MiB matrices
  s.onlyFlows = {"F-SUM", "F-DEL", "F-DC1DAZ"};
  synth::Manifest m = synthesise(s);
  EXPECT_EQ(countOf(m, "F-SUM", '3')->maxExtent, 0x200000u);
  EXPECT_EQ(countOf(m, "F-DEL", '3')->maxExtent, 0x100000u);  // F-GUARD starts 1 MiB in
  EXPECT_EQ(countOf(m, "F-DC1DAZ", '3')->maxExtent, 0x100000u);  // F-SUM starts 1 MiB in
  EXPECT_EQ(m.skippedFlows.count("F-DEL (part)"), 1u);
}

TEST(SynthRecording, NamesNumberedFilesAndSplitsBlocksAcrossThemBySize) {
  TempDir whole, split;
  synth::Scenario a = smallScenario(whole);
  synth::Scenario b = smallScenario(split);
  b.splitBytes = 100000;  // not a multiple of 272
  b.firstIndex = 3;
  synth::Manifest ma = synthesise(a), mb = synthesise(b);
  ASSERT_GE(mb.files.size(), 3u);
  EXPECT_EQ(ma.files[0].name, "_19-05-17-10-30-00_1.rec");
  for (size_t i = 0; i < mb.files.size(); ++i) {
    EXPECT_EQ(mb.files[i].name, "_19-05-17-10-30-00_" + std::to_string(3 + i) + ".rec");
    EXPECT_EQ(std::filesystem::file_size(mb.files[i].path), mb.files[i].size);
    EXPECT_EQ(mb.files[i].start, i * 100000u);
    if (i + 1 < mb.files.size()) {
      EXPECT_EQ(mb.files[i].size, 100000u);
    }
  }
  EXPECT_NE(mb.files[0].size % synth::recorderBlockSize, 0u);  // a block straddles the boundary
  EXPECT_EQ(wholeStream(mb), wholeStream(ma));
  auto [file, offset] = synth::filePosition(mb, 250000);
  EXPECT_EQ(file, 2u);
  EXPECT_EQ(offset, 50000u);
}

TEST(SynthRecording, SplitsByBatchesAtBlockBoundaries) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir, 7);
  s.splitBatches = 3;
  s.year = 21, s.month = 12, s.day = 31, s.timeOfDay = 23 * 3600 + 59 * 60 + 58;
  synth::Manifest m = synthesise(s);
  ASSERT_EQ(m.files.size(), 3u);
  EXPECT_EQ(m.files[2].name, "_21-12-31-23-59-58_3.rec");
  for (size_t i = 0; i < m.files.size(); ++i) {
    Bytes bytes = readBytes(m.files[i].path);
    ASSERT_EQ(bytes.size() % synth::recorderBlockSize, 0u);
    // Each file opens with block 0 of a batch's first header flow (SWHDR, halves alternating).
    EXPECT_EQ(u32(bytes.data()), 0xA0000000u + (i % 2) * 0x1000000u);
  }
}

TEST(SynthRecording, SizeTargetAddsBatchesUntilReached) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir, 1);
  s.targetBytes = 3 << 20;
  synth::Manifest m = synthesise(s);
  EXPECT_GE(m.totalBytes, 3u << 20);
  EXPECT_GT(m.iterations, 1u);
  EXPECT_LT(m.totalBytes, (3u << 20) + 2 * m.totalBytes / m.iterations);  // stops within a batch of it
}

TEST(SynthRecording, FlowSelectionAndSources) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir);
  ASSERT_EQ(synth::applyOption(s, "no-bulky", ""), "");
  ASSERT_EQ(synth::applyOption(s, "skip-flows", "CTRLINK,DET"), "");
  ASSERT_EQ(synth::applyOption(s, "source", "VIDEO=V"), "");
  ASSERT_EQ(synth::applyOption(s, "source", "TIMER=0x44"), "");
  synth::Manifest m = synthesise(s);
  EXPECT_EQ(countOf(m, "F-SUM", '3'), nullptr);
  EXPECT_EQ(countOf(m, "VIDEO", 'V'), nullptr);  // bulky
  EXPECT_EQ(countOf(m, "CTRLINK", '3'), nullptr);
  EXPECT_NE(countOf(m, "TIMER", 0x44), nullptr);
  EXPECT_NE(countOf(m, "F-HDR", '3'), nullptr);
  EXPECT_EQ(m.softBlocks.count("SUM"), 0u);
  EXPECT_EQ(m.softBlocks.at("DSPHDRIN"), 6u);

  TempDir only;
  synth::Scenario o = smallScenario(only);
  o.onlyFlows = {"VIDEO"};
  o.sources["VIDEO"] = 'V';
  synth::Manifest mo = synthesise(o);
  ASSERT_EQ(mo.flows.size(), 1u);
  EXPECT_EQ(mo.flows[0].sourceId, 'V');
  EXPECT_EQ(mo.flows[0].cycles, 3u);
}

}  // namespace

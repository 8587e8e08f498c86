// The save step: the destination record byte for byte, and every gate in front of it.
#include "observer_fixture.h"

namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 13 + 1);
  return v;
}

std::string recordHeader(const char name[8], uint32_t end, uint32_t length, uint8_t source, uint8_t tag) {
  std::string h(8, '\x7A');
  h.append(name, 8);
  h.append(reinterpret_cast<const char*>(&end), 4);
  h.append(reinterpret_cast<const char*>(&length), 4);
  h += char(source);
  h += char(tag);
  h.append(6, '\0');
  return h;
}

using SaveTest = ObserverTest;

TEST_F(SaveTest, RecordHeaderPrecedesTheDataInTheDestination) {
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x200000);
  Flow& soft = addFlow("SOFTDFE1", 0xE0000000, 0x1000, 0, 0, 0x56);  // an 8-character name
  start();
  std::vector<uint8_t> signal = pattern(4096);
  fill(sum, signal);
  EXPECT_TRUE(obs().saveFlow(sum));
  EXPECT_EQ(sum.idle, 1);
  fill(soft, pattern(256));
  soft.sourceTag = 7;
  EXPECT_TRUE(obs().saveFlow(soft));

  std::string expected = recordHeader("F-SUM\0\0\0", 4100, 4096, 0x33, 1);
  expected.append(signal.begin(), signal.end());
  expected += recordHeader("SOFTDFE1", 4128 + 256 + 4, 256, 0x56, 7);
  std::vector<uint8_t> block = pattern(256);
  expected.append(block.begin(), block.end());
  EXPECT_EQ(destination(), expected);
}

TEST_F(SaveTest, UnevenFlowIsWarnedAboutAndSavedAnyway) {
  Flow& flow = addFlow("PC", 0x57000000, 0x2000, 0x20000, 1, 0x56);
  start();
  fill(flow, pattern(300));
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(count("-W: Flow size not multiple of block size: 300\n"), 1u);
  EXPECT_EQ(destination().size(), 332u);
}

TEST_F(SaveTest, BatchStartHoldsSavingBackUntilTheBatchIsReached) {
  settings.bstartGiven = true;
  settings.bstart = 100;
  Flow& flow = addFlow("DET", 0x55000000, 0x4000, 0x4000, 1, 0x56);
  start();
  ASSERT_EQ(&obs().currentHeader(), &obs().softHeaderObserver());  // without /hfw
  obs().softHeaderObserver().counters.lastBatch = 99;
  fill(flow, pattern(256));
  EXPECT_TRUE(obs().saveFlow(flow));  // not yet saving counts as success
  EXPECT_EQ(flow.idle, 0);
  EXPECT_EQ(destination().size(), 0u);

  obs().softHeaderObserver().counters.lastBatch = 102;
  EXPECT_TRUE(obs().saveFlow(flow));
  obs().softHeaderObserver().counters.lastBatch = 3;  // once started, saving goes on
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(destination().size(), 2u * 288);
  EXPECT_EQ(count("-I: batch 102 - start saving\n"), 1u);
  EXPECT_EQ(count("start saving"), 1u);
}

TEST_F(SaveTest, OnlySoftwareKeepsSoftwareFlowsAndVideo) {
  settings.onlysw = true;
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x1000);
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x1000, 0, 0, 0x53);
  Flow& video = addFlow("VIDEO", 0xEF000000, 0x1000, 0, 1, 0x56);
  start();
  for (Flow* flow : {&sum, &soft, &video}) fill(*flow, pattern(256));
  EXPECT_FALSE(obs().saveFlow(sum));
  EXPECT_EQ(sum.idle, 1);
  EXPECT_TRUE(obs().saveFlow(soft));
  EXPECT_TRUE(obs().saveFlow(video));
  EXPECT_EQ(destination().size(), 2u * 288);
}

TEST_F(SaveTest, SourceFilterFollowsNoSignalAndOnlyDsp) {
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x1000);
  Flow& dspSoft = addFlow("SWSUM", 0xA0010000, 0x1000, 0, 0, 0x33);
  Flow& eif = addFlow("SOFT", 0xF0000000, 0x1000, 0, 0, 0x53);
  for (Flow* flow : {&sum, &dspSoft, &eif}) fill(*flow, pattern(256));

  settings.nosignal = true;
  start();
  EXPECT_FALSE(obs().saveFlow(sum));
  EXPECT_FALSE(obs().saveFlow(dspSoft));
  EXPECT_TRUE(obs().saveFlow(eif));
  EXPECT_EQ(destination().size(), 288u);

  settings.nosignal = false;
  settings.onlydsp = true;
  start();
  EXPECT_FALSE(obs().saveFlow(eif));
  EXPECT_EQ(eif.idle, 1);
  EXPECT_TRUE(obs().saveFlow(dspSoft));  // bare data
  EXPECT_TRUE(obs().saveFlow(sum));      // with the header
  std::string written = destination();
  ASSERT_EQ(written.size(), 256u + 288u);
  std::vector<uint8_t> bare = pattern(256);
  EXPECT_EQ(written.substr(0, 256), std::string(bare.begin(), bare.end()));
  EXPECT_EQ(written.substr(256, 8), std::string(8, '\x7A'));
}

TEST_F(SaveTest, SarOnlySavesNothingBeforeASarHeader) {
  settings.sar = true;
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000);
  start();
  fill(flow, pattern(256));
  EXPECT_FALSE(obs().saveFlow(flow));
  EXPECT_EQ(count("-I: No SAR... no save\n"), 1u);
  tracking().sarSeen = true;
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(destination().size(), 288u);
}

TEST_F(SaveTest, PosbugPutsTheLastLatitudeIntoTheHeaderCopy) {
  settings.posbug = true;
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x1000, 0, 0, 0x53);
  start();
  tracking().lastLatitude = 0.75f;
  fill(soft, pattern(512));
  putName(soft, "DSPHDRIN");
  soft.dirty = 0;
  EXPECT_TRUE(obs().saveFlow(soft));
  float saved;
  std::memcpy(&saved, destination().data() + 32 + 508, 4);
  EXPECT_EQ(saved, 0.75f);
  EXPECT_GE(soft.dirty, 512u);  // the reset refills the rewritten word

  // A cycle that ends before the latitude word is left alone.
  soft.reset();
  fill(soft, pattern(256));
  putName(soft, "DSPHDRIN");
  EXPECT_TRUE(obs().saveFlow(soft));
  EXPECT_EQ(soft.fillTo(512)[508], 0xCA);  // read beyond the cycle as a reader there reads it
}

TEST_F(SaveTest, WithoutDestinationNothingIsSavedAndNothingIsSaid) {
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000);
  start(false);
  fill(flow, pattern(256));
  EXPECT_FALSE(obs().saveFlow(flow));
  EXPECT_EQ(flow.idle, 1);
  EXPECT_EQ(obs().output.outputPosition(), 0u);
  EXPECT_EQ(messages.all, "");
}

TEST_F(SaveTest, PostProcessingLabelsTheDecodeAndRestoresTheContext) {
  settings.postProcessLevel = -1;
  Flow& flow = addFlow("SOFT", 0xF0000000, 0x1000, 0, 0, 0x53);
  start();
  fill(flow, pattern(256));
  flow.firstBlockPos = 0x110;
  flow.lastBlockPos = 0x220;
  msg::set_context("rec.dat");
  msg::set_context_number(5);
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(msg::context_number(), 5);
  EXPECT_EQ(count("-i[rec.dat:5]: PP 272...544\n"), 1u);

  // Positions beyond 2 GiB in a large source file come back whole.
  msg::set_context_number(0x90000010LL);
  fill(flow, pattern(256));
  flow.firstBlockPos = 0x90000000u;
  flow.lastBlockPos = 0x90000100u;
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(msg::context_number(), 0x90000010LL);
  EXPECT_EQ(count("-i[rec.dat:2415919120]: PP 2415919104...2415919360\n"), 1u);

  // And beyond 4 GiB: not the position modulo 2^32.
  msg::set_context_number(0x123456789LL);
  fill(flow, pattern(256));
  flow.firstBlockPos = 0x123456700ULL;
  flow.lastBlockPos = 0x123456800ULL;
  EXPECT_TRUE(obs().saveFlow(flow));
  EXPECT_EQ(count("-i[rec.dat:4886718345]: PP 4886718208...4886718464\n"), 1u);
}

TEST_F(SaveTest, FailedWriteIsReportedOnceAndTheRunGoesOn) {
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x200000);
  start(false);
  ASSERT_TRUE(obs().output.open("/dev/full"));
  fill(flow, pattern(256));
  EXPECT_TRUE(obs().saveFlow(flow));  // still in the stream buffer: the flush finds out
  obs().output.outputPosition();
  EXPECT_EQ(count("-E: write error on /dev/full -- No space left on device (28)\n"), 1u);

  messages.all.clear();
  ASSERT_TRUE(obs().output.open("/dev/full"));
  fill(flow, pattern(0x180000));  // larger than the stream buffer: written at once
  EXPECT_FALSE(obs().saveFlow(flow));
  fill(flow, pattern(256));
  obs().saveFlow(flow);
  obs().output.outputPosition();
  obs().output.close();
  EXPECT_EQ(count("-E: write error on /dev/full -- No space left on device (28)\n"), 1u);
  EXPECT_EQ(count("-E:"), 1u);
}

}  // namespace

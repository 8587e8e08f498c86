// The DSP header observers: continuity, standby, time, antenna delay, position, header
// products, /hsynch, and the header copies in the software data.
#include "observer_fixture.h"

namespace {

struct Header {
  uint32_t batch = 0;
  uint32_t tag = 0;
  uint32_t antennaTag = 0;  // 0: same as tag
  uint32_t secs = 0;
  uint32_t mode = 0;
  uint32_t modeCode = 0;
  float latitude = 0;
  float longitude = 0;
};

class HeaderTest : public ObserverTest {
 protected:
  void SetUp() override {
    ObserverTest::SetUp();
    settings.firmwareHeader = true;
  }
  Flow& headerFlow() {
    Flow& flow = addFlow("F-HDR", 0x80000000, 0x1000, 0x1000000);
    flow.observer = nullptr;
    return flow;
  }
  Observers& startHeaders() {
    Observers& o = start();
    for (auto& flow : table)
      flow->observer = flow->name == std::string("F-HDR") ? static_cast<IFlowObserver*>(&o.headerObserver())
                                                          : &o.flowObserver();
    o.headerObserver().offsets.timestampAt = 88;
    o.softHeaderObserver().offsets.timestampAt = 88;
    return o;
  }
  // Writes the header words at word `base` of the cycle.
  static void putHeader(Flow& flow, uint32_t base, const Header& h) {
    putWord(flow, base + 24, h.batch);
    putWord(flow, base + 25, h.tag);
    putWord(flow, base + 26, 64);
    putWord(flow, base + 27, 512);
    putWord(flow, base + 33, h.modeCode);
    putWord(flow, base + 34, h.mode);
    putWord(flow, base + 89, h.secs);
    putFloat(flow, base + 102, h.latitude);
    putFloat(flow, base + 103, h.longitude);
    putWord(flow, base + 112, h.antennaTag ? h.antennaTag : h.tag);
  }
  /// One firmware header cycle as the run delivers it: start, complete, reset.
  bool deliver(Flow& flow, const Header& h, bool magic = true) {
    std::vector<uint8_t> cycle(0x1000, 0);
    if (magic) std::memcpy(cycle.data() + 16, "HDR0", 4);
    fill(flow, cycle);
    putHeader(flow, 0, h);
    bool kept = flow.consumer().onFlowStart(flow);
    if (kept) flow.consumer().onFlowComplete(flow);
    flow.reset();
    return kept;
  }
  void deliverBatches(Flow& flow, std::initializer_list<uint32_t> batches) {
    for (uint32_t batch : batches) deliver(flow, Header{.batch = batch, .tag = batch * 10});
  }
};

TEST_F(HeaderTest, HoleStartsStandbyAndTheNextContinuousBatchEndsIt) {
  Flow& flow = headerFlow();
  startHeaders();
  deliverBatches(flow, {10, 11, 15, 16, 17});
  EXPECT_EQ(count("-I: !!F-HDR@33[0]: 0x80000000  10 (100): 512x64\n"), 1u);
  EXPECT_EQ(count("-i: !!F-HDR@33[0]: 0x80000000  11 (110): 512x64\n"), 1u);
  EXPECT_EQ(count("-W: batch hole: 11 -> 15 (4) - standby?\n"), 1u);
  EXPECT_EQ(count("-I: batch restart: 15 -> 16 (1) - exit from standby?\n"), 1u);
  EXPECT_EQ(count("batch hole"), 1u);
  EXPECT_EQ(count("batch restart"), 1u);
  const HeaderCounters& h = obs().headerObserver().counters;
  EXPECT_EQ(h.headerCount, 5u);
  EXPECT_EQ(h.firstBatch, 10u);
  EXPECT_EQ(h.lastBatch, 17u);
  EXPECT_EQ(h.firstTag, 100u);
  EXPECT_EQ(h.lastTag, 170u);
  EXPECT_EQ(obs().tracking().currentBatch, 17u);
  EXPECT_FALSE(obs().tracking().inStandby);
}

TEST_F(HeaderTest, HolesWhileInStandbyAreNotRepeated) {
  Flow& flow = headerFlow();
  startHeaders();
  deliverBatches(flow, {10, 12, 14, 15});
  EXPECT_EQ(count("-W: batch hole: 10 -> 12 (2) - standby?\n"), 1u);
  EXPECT_EQ(count("batch hole"), 1u);
  EXPECT_EQ(count("-I: batch restart: 14 -> 15 (1) - exit from standby?\n"), 1u);
}

TEST_F(HeaderTest, StepBackShowsTheUnsignedDifference) {
  Flow& flow = headerFlow();
  startHeaders();
  deliverBatches(flow, {20, 5});
  EXPECT_EQ(count("-W: batch hole: 20 -> 5 (4294967281) - standby?\n"), 1u);
}

TEST_F(HeaderTest, TimeOfDayIsShownUnpaddedAndKeptAsFirstAndLast) {
  Flow& flow = headerFlow();
  startHeaders();
  deliver(flow, Header{.batch = 1, .tag = 7, .secs = 45296});
  deliver(flow, Header{.batch = 2, .tag = 8, .secs = 3605});
  EXPECT_EQ(count("-I: ++F-HDR@33[0]: 0x80000000  1 (7): 512x64 12:34:56\n"), 1u);
  EXPECT_EQ(count("-i: ++F-HDR@33[0]: 0x80000000  2 (8): 512x64 1:0:5\n"), 1u);
  EXPECT_EQ(obs().headerObserver().counters.firstSecs, 45296u);
  EXPECT_EQ(obs().headerObserver().counters.lastSecs, 3605u);
}

TEST_F(HeaderTest, AntennaDelayIsReportedWhenItChanges) {
  Flow& flow = headerFlow();
  startHeaders();
  deliver(flow, Header{.batch = 1, .tag = 100});
  deliver(flow, Header{.batch = 2, .tag = 200, .antennaTag = 100});
  deliver(flow, Header{.batch = 3, .tag = 300, .antennaTag = 200});
  deliver(flow, Header{.batch = 4, .tag = 400});
  deliver(flow, Header{.batch = 5, .tag = 500});
  deliver(flow, Header{.batch = 6, .tag = 2000, .antennaTag = 100});
  EXPECT_EQ(count("-W: Ant delay=1: 100 0xC8 0x64 (0x64)\n"), 1u);
  EXPECT_EQ(count("Ant delay=1"), 1u);
  EXPECT_EQ(count("-S: Ant delay=0: 0 0x190 0x190 (0x12C)\n"), 1u);
  EXPECT_EQ(count("Ant delay=0"), 1u);
  EXPECT_EQ(count("-W: Ant delay>1: 1900 0x7D0 0x64 (0x1F4)\n"), 1u);
}

TEST_F(HeaderTest, PositionIsShownOncePerSourceFile) {
  Flow& flow = headerFlow();
  startHeaders();
  deliver(flow, Header{.batch = 1, .latitude = 0.5f, .longitude = -0.25f});
  deliver(flow, Header{.batch = 2, .latitude = 0.5f, .longitude = -0.25f});
  EXPECT_EQ(count("-I: A/C position: 28.647890 latitude, -14.323945 longitude\n"), 1u);
  obs().headerObserver().counters.showPosition = true;  // the run opened the next file
  deliver(flow, Header{.batch = 3, .latitude = 0.5f, .longitude = -0.25f});
  EXPECT_EQ(count("A/C position"), 2u);
}

TEST_F(HeaderTest, HeaderWithoutMagicIsRefusedAtTheStart) {
  Flow& flow = headerFlow();
  startHeaders();
  EXPECT_FALSE(deliver(flow, Header{.batch = 1}, false));
  EXPECT_EQ(count("-i: ****F-HDR@33[0]: 0x80000000\n"), 1u);
  EXPECT_EQ(obs().headerObserver().counters.headerCount, 0u);
}

TEST_F(HeaderTest, CompletedHeaderIsSavedAndFeedsTheProducts) {
  Flow& flow = headerFlow();
  startHeaders();
  deliver(flow, Header{.batch = 1, .tag = 9, .antennaTag = 9, .modeCode = 21, .latitude = 0.125f});
  EXPECT_EQ(destination().size(), 32u + 0x1000);
  EXPECT_EQ(flow.cycles, 1u);
  EXPECT_TRUE(obs().tracking().sarSeen);
  EXPECT_EQ(obs().tracking().lastLatitude, 0.125f);
  EXPECT_EQ(obs().tracking().headerExtract[0], 9u);
  EXPECT_EQ(obs().headerSummary().latest().timeTag, 9u);
  EXPECT_EQ(obs().headerSummary().latest().antennaTag, 9u);
}

TEST_F(HeaderTest, WithoutFirmwareHeaderOnlyTheProductsAreMade) {
  settings.firmwareHeader = false;
  Flow& flow = headerFlow();
  startHeaders();
  deliver(flow, Header{.batch = 1, .modeCode = 21, .latitude = 0.5f});
  EXPECT_EQ(obs().headerObserver().counters.headerCount, 0u);
  EXPECT_EQ(destination().size(), 0u);
  EXPECT_TRUE(obs().tracking().sarSeen);
  EXPECT_EQ(obs().tracking().lastLatitude, 0.5f);

  // At the end of the run the pending header is saved like any flow.
  fill(flow, std::vector<uint8_t>(256, 0));
  flow.consumer().onFlowFlush(flow);
  EXPECT_EQ(destination().size(), 32u + 256);
}

TEST_F(HeaderTest, HeaderSynchCompletesPendingSignalFlowsOnce) {
  settings.hsynch = true;
  Flow& flow = headerFlow();
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x1000, 0x1000000);
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x1000, 0, 0, 0x53);
  startHeaders();
  deliver(flow, Header{.batch = 1});
  fill(sum, std::vector<uint8_t>(512, 3));
  fill(soft, std::vector<uint8_t>(256, 4));
  deliver(flow, Header{.batch = 2});
  EXPECT_EQ(sum.cycles, 1u);
  EXPECT_EQ(sum.extent, 0u);  // cleared: the run will not hand it over again
  EXPECT_EQ(sum.storedBlocks, 0u);
  EXPECT_EQ(sum.idle, 1);
  EXPECT_EQ(sum.fillTo(flowBlockSize)[0], 0xCA);
  EXPECT_EQ(soft.cycles, 0u);  // software flows are not synchronised
  EXPECT_EQ(destination().size(), 2u * (32 + 0x1000) + 32 + 512);
}

TEST_F(HeaderTest, HeaderSynchDisregardsAPartialSignalFlow) {
  settings.hsynch = true;
  Flow& flow = headerFlow();
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x200000, 0x1000000);
  startHeaders();
  deliver(flow, Header{.batch = 1});
  // One stray block at a high index: no 2 MiB record of fill bytes.
  uint8_t block[256];
  std::memset(block, 7, sizeof block);
  sum.store(8000, block);
  sum.store(2, block);
  deliver(flow, Header{.batch = 2});
  EXPECT_EQ(count("-E: F-SUM: partial flow disregarded, arrived=2, expected=8001\n"), 1u);
  EXPECT_EQ(sum.cycles, 0u);
  EXPECT_EQ(sum.extent, 0u);
  EXPECT_EQ(sum.idle, 1);
  EXPECT_EQ(sum.fillTo(8001 * 256)[8000 * 256], 0xCA);  // as a reader sees it
  EXPECT_EQ(destination().size(), 2u * (32 + 0x1000));  // the two header records only
}

TEST_F(HeaderTest, FromStandbySavesNothingUntilTheFirstRestart) {
  settings.fromstby = true;
  Flow& flow = headerFlow();
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x1000, 0x1000000);
  startHeaders();
  size_t saved = 0;
  for (uint32_t batch : {10u, 11u, 15u, 16u, 17u}) {
    deliver(flow, Header{.batch = batch});
    fill(sum, std::vector<uint8_t>(256, 1));
    if (obs().saveFlow(sum)) ++saved;
  }
  EXPECT_EQ(saved, 2u);  // batches 16 and 17
  EXPECT_FALSE(obs().tracking().standbyWait);
}

TEST_F(HeaderTest, BatchStartWithFirmwareHeaderComparesTheFirmwareBatch) {
  settings.bstartGiven = true;
  settings.bstart = 12;
  Flow& flow = headerFlow();
  Flow& sum = addFlow("F-SUM", 0x80101000, 0x1000, 0x1000000);
  startHeaders();
  deliverBatches(flow, {10, 11});
  fill(sum, std::vector<uint8_t>(256, 1));
  sum.consumer().onFlowComplete(sum);
  EXPECT_EQ(destination().size(), 0u);
  deliverBatches(flow, {12});
  EXPECT_EQ(count("-I: batch 12 - start saving\n"), 1u);
  EXPECT_EQ(destination().size(), 32u + 0x1000);
}

class SoftHeaderTest : public HeaderTest {
 protected:
  void SetUp() override {
    HeaderTest::SetUp();
    settings.firmwareHeader = false;
  }
  void deliverCopy(Flow& soft, const char* name, const Header& h) {
    fill(soft, std::vector<uint8_t>(1024, 0));
    putName(soft, name);
    putHeader(soft, 25, h);
    soft.consumer().onFlowComplete(soft);
    soft.reset();
  }
};

TEST_F(SoftHeaderTest, HeaderCopiesInTheSoftwareDataAreFollowed) {
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x10000, 0, 0, 0x53);
  startHeaders();
  for (uint32_t batch : {7u, 8u, 9u}) deliverCopy(soft, "DSPHDRIN", Header{.batch = batch, .tag = batch});
  deliverCopy(soft, "D1553\0\0\0", Header{.batch = 50});
  const HeaderCounters& s = obs().softHeaderObserver().counters;
  EXPECT_EQ(s.headerCount, 3u);
  EXPECT_EQ(s.firstBatch, 7u);
  EXPECT_EQ(s.lastBatch, 9u);
  EXPECT_EQ(count("batch hole"), 0u);
  EXPECT_EQ(count("-I: !!SOFT@53[0]: 0xF0000000  7 (7): 512x64\n"), 1u);
  EXPECT_EQ(obs().headerObserver().counters.headerCount, 0u);
  EXPECT_EQ(destination().size(), 4u * (32 + 1024));
}

TEST_F(SoftHeaderTest, CopiesAreIgnoredWithFirmwareHeader) {
  settings.firmwareHeader = true;
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x10000, 0, 0, 0x53);
  startHeaders();
  deliverCopy(soft, "DSPHDRIN", Header{.batch = 7});
  EXPECT_EQ(obs().softHeaderObserver().counters.headerCount, 0u);
}

TEST_F(SoftHeaderTest, BatchStartComparesTheLatestCopy) {
  settings.bstartGiven = true;
  settings.bstart = 8;
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x10000, 0, 0, 0x53);
  startHeaders();
  deliverCopy(soft, "DSPHDRIN", Header{.batch = 7});
  EXPECT_EQ(destination().size(), 0u);
  deliverCopy(soft, "DSPHDRIN", Header{.batch = 8});
  EXPECT_EQ(count("-I: batch 8 - start saving\n"), 1u);
  EXPECT_EQ(destination().size(), 32u + 1024);
}

TEST_F(SoftHeaderTest, ShortCopyReadsMissingWordsAsZero) {
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x100, 0, 0, 0x53);  // only 256 bytes of storage
  startHeaders();
  fill(soft, std::vector<uint8_t>(256, 0));
  putName(soft, "DSPHDRIN");
  putWord(soft, 49, 33);  // batch; time, position and antenna tag lie beyond the storage
  soft.consumer().onFlowComplete(soft);
  EXPECT_EQ(obs().softHeaderObserver().counters.lastBatch, 33u);
  EXPECT_EQ(obs().softHeaderObserver().counters.lastSecs, 0u);
}

}  // namespace

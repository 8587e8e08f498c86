// The general flow observer: start and completion lines, signal checks, VIDEO, EXTLINK, captures.
#include "observer_fixture.h"

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t value) { return std::vector<uint8_t>(n, value); }

using FlowObserverTest = ObserverTest;

TEST_F(FlowObserverTest, StartLineTakesTheCurrentGeometryAndTheHalf) {
  settings.rows = 64;
  settings.cols = 512;
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000, 0x1000000);
  start();
  flow.side = 1;
  EXPECT_TRUE(flow.consumer().onFlowStart(flow));
  EXPECT_EQ(flow.rows, 64u);
  EXPECT_EQ(flow.cols, 512u);
  EXPECT_EQ(flow.started, 1);
  EXPECT_NE(messages.all.find("-i: ++F-SUM@33[1]: 0x81101000\n"), std::string::npos);
}

TEST_F(FlowObserverTest, CompletionLineIsDetailWhenWholeAndWarningWhenBlocksAreMissing) {
  Flow& flow = addFlow("DET", 0x55000000, 0x4000, 0x4000, 1, 0x56);
  start();
  fill(flow, bytes(1024, 1));
  flow.consumer().onFlowComplete(flow);
  EXPECT_NE(messages.all.find("-i: --DET@56[0]: 1024 b=4 (0) [0 x 0]\n"), std::string::npos);
  EXPECT_EQ(flow.expectedBlocks, 4u);
  EXPECT_EQ(flow.cycles, 1u);
  EXPECT_EQ(flow.started, 0);

  fill(flow, bytes(1024, 1));
  flow.arrivedBlocks = 3;
  flow.consumer().onFlowFlush(flow);  // the default flush runs the completion
  EXPECT_NE(messages.all.find("-W: --DET@56[0]: 1024 b=3 (1) [0 x 0]\n"), std::string::npos);
  EXPECT_EQ(flow.cycles, 2u);
}

TEST_F(FlowObserverTest, TrailingZerosAboveTheLimitAreReported) {
  settings.zeroGiven = true;
  settings.zero = -100;
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000);
  start();
  std::vector<uint8_t> signal = bytes(1024, 0x11);
  std::fill(signal.end() - 300, signal.end(), 0);
  fill(flow, signal);
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(count("-E: Signal Trail Zeros: 300 = 75.000000 words, 1.171875 blocks\n"), 1u);

  // At most 512 bytes are counted, and 100 or fewer are fine.
  std::fill(signal.begin(), signal.end(), 0);
  fill(flow, signal);
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(count("Signal Trail Zeros: 512 = 128.000000 words, 2.000000 blocks"), 1u);
  signal.assign(1024, 0x11);
  std::fill(signal.end() - 100, signal.end(), 0);
  fill(flow, signal);
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(count("Signal Trail"), 2u);
}

TEST_F(FlowObserverTest, ZeroRunReportsTheSampleWhereTheRunReachesTheLimit) {
  settings.zeroGiven = true;
  settings.zero = 4;
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000);
  start();
  std::vector<uint8_t> signal = bytes(512, 0x01);
  const uint16_t samples[] = {1, 0, 0, 0, 0, 5};
  std::memcpy(signal.data(), samples, sizeof samples);
  fill(flow, signal);
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(count("-E: Signal zeros: 4 - batch 0 4/128\n"), 1u);

  // A cycle shorter than the left-out last 256 bytes has no samples to check.
  fill(flow, bytes(200, 0));
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(count("Signal zeros"), 1u);
}

TEST_F(FlowObserverTest, ZeroCheckOfZeroKeepsACopyOfTheSignal) {
  settings.zeroGiven = true;
  Flow& flow = addFlow("F-SUM", 0x80101000, 0x1000);
  start();
  std::vector<uint8_t> signal(768);
  for (size_t i = 0; i < signal.size(); ++i) signal[i] = uint8_t(i * 7);
  fill(flow, signal);
  flow.consumer().onFlowComplete(flow);
  const FlowCopies& copies = postProcess.copies();
  ASSERT_TRUE(copies.signalCopy());
  EXPECT_EQ(copies.signalCopyLength(), 768u);
  EXPECT_EQ(std::memcmp(copies.signalCopy(), signal.data(), 768), 0);
}

TEST_F(FlowObserverTest, VideoIsSavedEveryNthFrameAndCountedOnce) {
  settings.videoOut = true;
  settings.videoOutEvery = 3;
  settings.videoShow = true;
  Flow& video = addFlow("VIDEO", 0xEF000000, 0x1000, 0, 1, 0x56);
  start();
  for (int frame = 0; frame < 7; ++frame) {
    fill(video, bytes(512, 0));
    putWord(video, 1, 640);
    putWord(video, 2, 480);
    putWord(video, 3, 3);
    video.consumer().onFlowComplete(video);
  }
  EXPECT_EQ(video.cycles, 7u);
  EXPECT_EQ(destination().size(), 2u * (32 + 512));
  // The window line tells what happened: a window, or none without a display.
  const char* shown = "-I: video window: 640x480 (3)\n";
  const char* notShown = "-I: no display: video window not shown\n";
  bool open = obs().display.windowOpen();
  EXPECT_EQ(count(open ? shown : notShown), 1u);
  EXPECT_EQ(count(open ? notShown : shown), 0u);

  for (bool out : {false, true}) {  // shown, never saved; /videoout=0 is never reached
    settings.videoOut = out;
    settings.videoOutEvery = 0;
    start();
    video.observer = &obs().flowObserver();
    for (int frame = 0; frame < 3; ++frame) video.consumer().onFlowComplete(video);
    EXPECT_EQ(destination().size(), 0u);
  }
}

class ExamineTest : public ObserverTest {
 protected:
  void SetUp() override {
    ObserverTest::SetUp();
    settings.rows = 1;
    settings.cols = 1;
  }
};

TEST_F(ExamineTest, ExtLinkFValueIsReportedWhenItChanges) {
  settings.examine = 4;
  Flow& link = addFlow("EXTLINK", 0x10000000, 0x4000, 0x10000, 1, 0x56);
  start();
  auto cycle = [&](uint32_t fValue) {
    fill(link, bytes(256, 0));
    putWord(link, 0, 0x5A5A5A5A);  // a marker of another kind: stepped over
    putWord(link, 1, 0x5A5A5A5A);
    putWord(link, 2, 0x5A5A5A5A);
    putWord(link, 3, 0xA0A2);
    putWord(link, 5, 77);
    putWord(link, 6, fValue);
    link.consumer().onFlowComplete(link);
  };
  cycle(0x1234);
  cycle(0x1234);
  cycle(0x99);
  EXPECT_EQ(count("-W: ***F: 77 -> 0x1234 = \n"), 1u);
  EXPECT_EQ(count("-W: ***F: 77 -> 0x99 = \n"), 1u);
}

TEST_F(ExamineTest, ExtLinkMarkerAtTheEndOfTheCycleReadsNothingBeyondIt) {
  settings.examine = 4;
  Flow& link = addFlow("EXTLINK", 0x10000000, 0x4000, 0x10000, 1, 0x56);
  start();
  fill(link, bytes(256, 0));
  putWord(link, 62, 0x5A5A5A5A);
  putWord(link, 63, 0xA0A1);
  putWord(link, 66, 0x42);  // beyond the cycle: must not be taken
  link.consumer().onFlowComplete(link);
  EXPECT_EQ(count("***F"), 0u);
}

TEST_F(ExamineTest, CapturesCopyWhatTheFlowHoldsAndZeroFillTheRest) {
  settings.examine = 1;
  Flow& link = addFlow("EXTLINK", 0x10000000, 0x4000, 0x10000, 1, 0x56);
  Flow& dfe = addFlow("SOFTDFE", 0xE0000000, 0x10000, 0, 0, 0x56);
  start();
  fill(link, bytes(0x4000, 0xEE));
  link.consumer().onFlowComplete(link);
  const uint8_t* copy = postProcess.copies().latestExtLink();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy[0x3FFF], 0xEE);
  EXPECT_EQ(copy[0x4000], 0);
  EXPECT_EQ(copy[0x7FFF], 0);

  fill(dfe, bytes(0x10000, 0x5C));
  putName(dfe, "AESARX\0\0");
  dfe.consumer().onFlowComplete(dfe);
  EXPECT_EQ(postProcess.copies().latestAesaTx(), nullptr);
  ASSERT_NE(postProcess.copies().latestAesaRx(), nullptr);
  EXPECT_EQ(postProcess.copies().latestAesaRx()[0x7FFF], 0x5C);
}

// The timing analysis gets the latest header values, the last track point and the captures.
TEST_F(ExamineTest, TimerAnalysisShowsTheLatestHeaderTrackPointAndCommandBlock) {
  settings.examine = 1;
  settings.trackMode = 0;
  Flow& soft = addFlow("SOFT", 0xF0000000, 0x800, 0, 0, 0x53);
  Flow& dfe = addFlow("SOFTDFE", 0xE0000000, 0x10000, 0, 0, 0x56);
  Flow& timer = addFlow("TIMER", 0x20000000, 0x2000, 0, 1, 0x56);
  Observers& o = start(false);
  destinationName = "d-cv.out";
  lastSourceName = "rec.dat";
  tracking().currentBatch = 321;
  tracking().currentMode = 4;
  // The summary values come from the latest firmware header: words 25, 112, 113 to 118, 228,
  // 235 and 236.
  std::vector<uint8_t> header(237 * 4, 0);
  auto word = [&header](uint32_t n, auto value) { std::memcpy(&header[4 * n], &value, 4); };
  word(25, 5000u);
  word(112, 4990u);
  const float antenna[6] = {0.5f, -0.25f, 1.5f, 2.5f, 9.0f, 9.0f};
  for (uint32_t i = 0; i < 6; ++i) word(113 + i, antenna[i]);
  word(228, 7000u);
  word(235, 0.125f);
  word(236, 0.75f);
  o.headerSummary().writeHeaderSummary(header.data(), header.size());
  const float uv[2] = {3.25f, -3.25f};  // words 121 and 122, in the header extract from word 112
  std::memcpy(&tracking().headerExtract[9], uv, sizeof uv);

  fill(soft, bytes(0x800, 0));
  putName(soft, "D1553\0\0\0");
  putWord(soft, 48, (31u << 10 | 12u << 6) << 16);  // date word at byte 194: 31 December
  putWord(soft, 49, 1800);                           // byte 196: 01:00:00
  soft.consumer().onFlowComplete(soft);

  fill(dfe, bytes(0x2000, 0));
  putName(dfe, "AESATX\0\0");
  putWord(dfe, 44, 0x5A5A5A5A);
  putWord(dfe, 45, 0x001F028A);
  putWord(dfe, 46, 0x82000058);  // code 0x82, value 600 (low byte 0x58 ...
  putWord(dfe, 47, 0x02000000);  // ... high byte 0x02)
  putWord(dfe, 48, 0x40000000);  // first position 16384
  putWord(dfe, 54, 0xA5A5A5A5);
  dfe.consumer().onFlowComplete(dfe);

  fill(timer, bytes(0x2000, 0));
  putWord(timer, 0, 0x12345678);
  putWord(timer, 4, 0x54494D45);
  for (uint32_t k = 32; k < 40; ++k) putWord(timer, k, 0xFFFFF);
  timer.consumer().onFlowComplete(timer);
  stop();

  std::string unset, pairs, zeros;
  for (int k = 0; k < 8; ++k) {
    unset += "1048575;";
    pairs += "02;   0;";
    zeros += "      0;";
  }
  EXPECT_EQ(readFile("timer-d-cv.out.txt"),
            std::string(25, ' ') + "rec.dat;2022-12-31T01:00:00;     321;  RWS;" +
                "   ;     0;     0;     0;   0;    0   0; 0;   0;__AESADLY;" + unset +
                "__ANTRXN;" + pairs + "__CFSYNC;" + zeros + "__PRT;      0;" +
                "__POS;    0.500008;    0.000000;__FRQ;!; 600;   0;0\n");
  EXPECT_EQ(readFile("ant_pos-d-cv.out.txt"),
            "  600;  5000;  4990;_NAV;    0.500000;   -0.250000;_ANT;    1.500000;    2.500000;"
            "_UV;    3.250000;   -3.250000;__PP;  7000;    0.125000;    0.750000;"
            "__AESA;    0.500008;    0.000000;    0.000000;    0.000000;    0.000000;    0.000000;\n");
  EXPECT_EQ(count("-I: Mode=RWS (4)\n"), 1u);
  EXPECT_EQ(count("-S: Timer blob found!\n"), 1u);
  EXPECT_EQ(count("-W: (1) AESA/SYNT FRQ Err 1: [0]->600 != 0\n"), 1u);
}

}  // namespace

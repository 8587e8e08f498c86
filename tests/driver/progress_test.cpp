// The status line: its text, how often it looks at the clock and redraws, and how it gives way
// to messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversion_fixture.h"
#include "progress.h"
#include "support/recording.h"
#include "support/test_support.h"

using ::testing::HasSubstr;

namespace {

constexpr uint64_t mib = 1048576;

struct TextCase {
  const char* name;
  ProgressCounts counts;
  double seconds;
  unsigned columns;
  const char* text;
};

const TextCase textCases[] = {
    {"Start", {1, 1, 0, 100 * mib}, 0, 80, "file 1/1  0.0/100.0 MiB  0%  0.0 MiB/s  --:-- left"},
    {"Halfway", {2, 3, 1536 * mib, 3072 * mib}, 3, 80,
     "file 2/3  1536.0/3072.0 MiB  50%  512.0 MiB/s  0:03 left"},
    {"Minutes", {1, 2, 60 * mib, 180 * mib}, 60, 80,
     "file 1/2  60.0/180.0 MiB  33%  1.0 MiB/s  2:00 left"},
    {"Hours", {1, 1, mib, 10000 * mib}, 1, 80,
     "file 1/1  1.0/10000.0 MiB  0%  1.0 MiB/s  2:46:39 left"},
    {"BeyondNinetyNineHours", {1, 1, mib, 1048576 * mib}, 100, 80,
     "file 1/1  1.0/1048576.0 MiB  0%  0.0 MiB/s  --:-- left"},
    {"PercentRoundsDown", {1, 1, 999, 1000}, 1, 80, "file 1/1  0.0/0.0 MiB  99%  0.0 MiB/s  0:00 left"},
    {"FileGrewAfterItWasMeasured", {1, 1, 200 * mib, 100 * mib}, 2, 80,
     "file 1/1  100.0/100.0 MiB  100%  50.0 MiB/s  0:00 left"},
    {"EmptySource", {1, 1, 0, 0}, 1, 80, "file 1/1  0.0/0.0 MiB  0%  0.0 MiB/s  --:-- left"},
    {"FilesAheadVanished", {3, 2, 0, mib}, 1, 80, "file 3/3  0.0/1.0 MiB  0%  0.0 MiB/s  --:-- left"},
    {"NarrowTerminal", {2, 3, 1536 * mib, 3072 * mib}, 3, 20, "file 2/3  1536.0/30"},
    {"WidthUnknown", {2, 3, 1536 * mib, 3072 * mib}, 3, 0,
     "file 2/3  1536.0/3072.0 MiB  50%  512.0 MiB/s  0:03 left"},
};

class ProgressTextTest : public ::testing::TestWithParam<TextCase> {};

// A fake clock: the time is set by the test, every look is counted.
struct FakeClock {
  double now = 10;
  int looks = 0;
  ProgressLine::Clock clock() {
    return [this] {
      ++looks;
      return now;
    };
  }
};

void lookOnce(ProgressLine& line) {
  for (uint32_t i = 0; i < ProgressLine::ticksPerLook; ++i) line.tick();
}

const ProgressCounts someCounts{2, 3, 1536 * mib, 3072 * mib};

}  // namespace

TEST_P(ProgressTextTest, ShowsTheFiguresOfTheReading) {
  const TextCase& c = GetParam();
  EXPECT_EQ(progressText(c.counts, c.seconds, c.columns), c.text);
}

INSTANTIATE_TEST_SUITE_P(Lines, ProgressTextTest, ::testing::ValuesIn(textCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ProgressLineTest, LooksAtTheClockOnceEveryTicksPerLook) {
  FakeClock fake;
  ProgressLine line;
  for (int i = 0; i < 5000; ++i) line.tick();  // not started: the clock is never read
  line.start([] { return someCounts; }, fake.clock(), [](const std::string&) {}, 80);
  EXPECT_EQ(fake.looks, 1);  // the start time
  for (uint32_t i = 0; i + 1 < ProgressLine::ticksPerLook; ++i) line.tick();
  EXPECT_EQ(fake.looks, 1);
  line.tick();
  EXPECT_EQ(fake.looks, 2);
  lookOnce(line);
  lookOnce(line);
  EXPECT_EQ(fake.looks, 4);
  line.finish();
  lookOnce(line);
  EXPECT_EQ(fake.looks, 4);
}

TEST(ProgressLineTest, RedrawsAtMostFourTimesASecond) {
  struct Step {
    double now;
    bool drawn;
  };
  // Started at 10: the first drawing waits a quarter of a second, each one after it too.
  const Step steps[] = {{10.1, false}, {10.25, true}, {10.3, false}, {10.49, false},
                        {10.5, true},  {12.0, true},  {12.2, false}, {12.26, true}};
  FakeClock fake;
  std::vector<std::string> drawings;
  ProgressLine line;
  line.start([] { return someCounts; }, fake.clock(),
             [&](const std::string& text) { drawings.push_back(text); }, 80);
  size_t expected = 0;
  for (const Step& step : steps) {
    fake.now = step.now;
    lookOnce(line);
    if (step.drawn) ++expected;
    ASSERT_EQ(drawings.size(), expected) << "at " << step.now;
    if (step.drawn) {
      EXPECT_EQ(drawings.back(), "\r" + progressText(someCounts, step.now - 10, 80) + "\033[K");
    }
  }
}

TEST(ProgressLineTest, EveryMessageFindsTheLineCleared) {
  CapturedMessages messages;
  FakeClock fake;
  ProgressLine line;
  line.start([] { return someCounts; }, fake.clock(),
             [&](const std::string& text) { messages.all += text; }, 80);
  const std::string drawing1 = "\r" + progressText(someCounts, 1, 80) + "\033[K";
  const std::string drawing2 = "\r" + progressText(someCounts, 2, 80) + "\033[K";
  msg::warning("before");  // nothing drawn yet: nothing to clear
  fake.now = 11;
  lookOnce(line);
  msg::warning("one");
  msg::info("two");  // already cleared
  fake.now = 12;
  lookOnce(line);
  line.finish();
  line.finish();
  msg::warning("three");  // finished: the line is gone and stays gone
  fake.now = 13;
  lookOnce(line);
  EXPECT_EQ(messages.all, "-W: before\n" + drawing1 + "\r\033[K-W: one\n-I: two\n" + drawing2 +
                              "\r\033[K-W: three\n");
}

// ---- the counts of the source sequence ----

class SequenceCountsTest : public ConversionFixture {
 protected:
  SourceSequence& open(const std::vector<size_t>& blocksPerFile, const std::vector<int>& numbers,
                       bool sequence) {
    for (size_t i = 0; i < numbers.size(); ++i)
      writeFile(dir.file("_19-05-17-10-30-00_" + std::to_string(numbers[i]) + ".rec"),
                Bytes(blocksPerFile[i] * 272, 0));
    sourceSettings.sourceName = dir.file("_19-05-17-10-30-00_1.rec");
    sourceSettings.concatenate = sequence ? -1 : 0;
    sourceSettings.analyze = true;
    sources = std::make_unique<SourceSequence>(sourceSettings, display,
                                               observers().headerCounters(), lastSourceName,
                                               testOutputs());
    sources->prepareSources();
    sources->openFirstSource();
    return *sources;
  }
  std::unique_ptr<SourceSequence> sources;
};

TEST_F(SequenceCountsTest, TheWholeSequenceIsKnownBeforeItsFilesAreOpened) {
  SourceSequence& s = open({3, 5, 2}, {1, 2, 3}, true);
  EXPECT_EQ(s.knownFiles(), 1);  // not measured ahead: only the open file
  EXPECT_EQ(s.knownBytes(), 3u * 272);
  s.measureAhead();
  EXPECT_EQ(s.openedCount(), 1);
  EXPECT_EQ(s.knownFiles(), 3);
  EXPECT_EQ(s.knownBytes(), 10u * 272);
  EXPECT_EQ(s.bytesRead(), 0u);
  uint8_t block[272];
  ASSERT_EQ(s.file().read(block, sizeof block), sizeof block);
  EXPECT_EQ(s.bytesRead(), 272u);
  ASSERT_TRUE(s.endSource());
  EXPECT_EQ(s.openedCount(), 2);
  EXPECT_EQ(s.knownFiles(), 3);  // the open file is not counted twice
  EXPECT_EQ(s.knownBytes(), 10u * 272);
  EXPECT_EQ(s.bytesRead(), 3u * 272);
  ASSERT_TRUE(s.endSource());
  ASSERT_FALSE(s.endSource());
  EXPECT_EQ(s.knownFiles(), 3);
  EXPECT_EQ(s.bytesRead(), 10u * 272);
}

TEST_F(SequenceCountsTest, MeasuringAheadStopsAtTheFirstMissingFile) {
  SourceSequence& s = open({3, 5, 2}, {1, 2, 4}, true);
  s.measureAhead();
  EXPECT_EQ(s.knownFiles(), 2);
  EXPECT_EQ(s.knownBytes(), 8u * 272);
}

TEST_F(SequenceCountsTest, OneSourceKnowsOnlyItself) {
  SourceSequence& s = open({3, 5}, {1, 2}, false);
  s.measureAhead();
  EXPECT_EQ(s.knownFiles(), 1);
  EXPECT_EQ(s.knownBytes(), 3u * 272);
}

// ---- the scan feeds the line ----

class ScanProgressTest : public ConversionFixture {};

TEST_F(ScanProgressTest, TheScanDrawsTheLineAndClearsItBeforeTheEndOfRun) {
  double now = 0;
  ProgressLine line;
  line.start([] { return someCounts; }, [&] { return now += 1; },
             [&](const std::string& text) { messages.all += text; }, 80);
  convert({headerAndSignalBatches(1, 200)});  // without the line: nothing of it
  EXPECT_EQ(messages.all.find("\rfile "), std::string::npos);
  messages.all.clear();
  convert({headerAndSignalBatches(1, 200)}, &line);
  EXPECT_FALSE(line.active());
  const std::string& log = messages.all;
  ASSERT_THAT(log, HasSubstr("\rfile 2/3  "));
  // Every drawing is followed by a carriage return: a clear or the next drawing.
  for (size_t at = log.find("\rfile "); at != std::string::npos; at = log.find("\rfile ", at + 1)) {
    size_t end = log.find("\033[K", at);
    ASSERT_NE(end, std::string::npos);
    ASSERT_LT(end + 3, log.size());
    EXPECT_EQ(log[end + 3], '\r') << log.substr(at, 200);
  }
  EXPECT_LT(log.rfind("\r\033[K"), log.find("processed "));
}

// "header_in.txt": created at the first header, then one line per header.
#include "support/test_outputs.h"
#include "observer_fixture.h"

namespace {

class HeaderSummaryTest : public ObserverTest {
 protected:
  std::vector<uint8_t> header(uint32_t batch, uint32_t tag, uint32_t mode) {
    std::vector<uint8_t> h(0x1000, 0);
    auto put = [&](uint32_t word, auto value) { std::memcpy(h.data() + 4 * word, &value, 4); };
    put(24, batch);
    put(25, tag);
    put(33, 3u);
    put(34, mode);
    put(112, tag - 10);
    put(113, 1.5f);
    put(114, -2.0f);
    put(118, 7.25f);
    put(121, 0.5f);
    put(122, 0.25f);
    put(228, 100u);
    put(235, 3.0f);
    put(236, 4.0f);
    return h;
  }
};

TEST_F(HeaderSummaryTest, FirstHeaderCreatesTheFileAndTheNextOneWritesTheFirstLine) {
  std::string name = path("header_in.txt");
  {
    HeaderSummaryFile file(testOutputs(), name);
    std::vector<uint8_t> first = header(41, 900, 0);
    HeaderSummaryValues values = file.writeHeaderSummary(first.data(), first.size());
    EXPECT_EQ(values.timeTag, 900u);
    EXPECT_EQ(values.antennaTag, 890u);
    EXPECT_EQ(values.antennaValues[0], 1.5f);
    EXPECT_EQ(values.antennaValues[5], 7.25f);
    EXPECT_EQ(values.secondTag, 100u);
    EXPECT_EQ(values.secondValues[1], 4.0f);
    EXPECT_TRUE(std::filesystem::exists(name));
    std::vector<uint8_t> second = header(42, 1000, 15);
    file.writeHeaderSummary(second.data(), second.size());
    std::vector<uint8_t> third = header(43, 900, 0);  // time going back shows a negative step
    file.writeHeaderSummary(third.data(), third.size());
  }
  EXPECT_EQ(readFile(name),
            "42;STT;3;1000;64.000000;6.400;0;0;0;ANT;990;63.360000;1.500000;-2.000000;0.500000;0.250000;"
            "PE;100;6.400000;3.000000;4.000000\n"
            "43;SRC;3;900;57.600000;-6.400;0;0;0;ANT;890;56.960000;1.500000;-2.000000;0.500000;0.250000;"
            "PE;100;6.400000;3.000000;4.000000\n");
}

TEST_F(HeaderSummaryTest, FailedCreationIsRetriedAtTheNextHeader) {
  std::filesystem::path folder = path("later");
  HeaderSummaryFile file(testOutputs(), (folder / "header_in.txt").string());
  std::vector<uint8_t> h = header(1, 900, 0);
  file.writeHeaderSummary(h.data(), h.size());  // the folder is missing: nothing happens
  std::filesystem::create_directory(folder);
  h = header(2, 1000, 0);
  file.writeHeaderSummary(h.data(), h.size());  // created now, still no line
  h = header(3, 1100, 0);
  file.writeHeaderSummary(h.data(), h.size());
  std::filesystem::path created = folder / "header_in.txt";
  EXPECT_TRUE(std::filesystem::exists(created));
  EXPECT_EQ(messages.all, "");
}

TEST_F(HeaderSummaryTest, ShortHeaderReadsMissingWordsAsZero) {
  std::string name = path("short.txt");
  {
    HeaderSummaryFile file(testOutputs(), name);
    std::vector<uint8_t> h = header(5, 900, 15);
    file.writeHeaderSummary(h.data(), h.size());
    HeaderSummaryValues values = file.writeHeaderSummary(h.data(), 256);  // words 64 and up missing
    EXPECT_EQ(values.antennaTag, 0u);
    EXPECT_EQ(values.timeTag, 900u);
  }
  EXPECT_EQ(readFile(name),
            "5;STT;3;900;57.600000;0.000;0;0;0;ANT;0;0.000000;0.000000;0.000000;0.000000;0.000000;"
            "PE;0;0.000000;0.000000;0.000000\n");
}

TEST_F(HeaderSummaryTest, OneFilePerRunWrittenFromEveryFirmwareHeader) {
  settings.firmwareHeader = true;
  Flow& flow = addFlow("F-HDR", 0x80000000, 0x1000, 0x1000000);
  Observers& o = start();
  flow.observer = &o.headerObserver();
  for (uint32_t batch = 1; batch <= 3; ++batch) {
    fill(flow, header(batch, 900 + batch, 0));
    std::memcpy(flow.data + 16, "HDR0", 4);
    flow.consumer().onFlowStart(flow);
    flow.consumer().onFlowComplete(flow);
    flow.reset();
  }
  o.headerObserver().counters.firstHeader = true;  // a new source file changes nothing here
  fill(flow, header(4, 904, 0));
  flow.consumer().onFlowComplete(flow);
  EXPECT_EQ(o.headerSummary().latest().timeTag, 904u);
  stop();  // closes the file
  std::string lines = readFile(path("header_in.txt"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);
  EXPECT_EQ(lines.substr(0, 24), "2;SRC;3;902;57.728000;0.");
  EXPECT_NE(lines.find("\n4;SRC;3;904;"), std::string::npos);
}

}  // namespace

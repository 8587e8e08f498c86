// Whole conversions over damaged recordings: every input the conversion fuzz target keeps in
// fuzz/corpus/conversion (seeds and inputs that once crashed or hung) is converted the way the
// target converts it, with post-processing, track, /examine=7, /zero and /hsynch; under the
// sanitizer build this is the regression suite for what the fuzzer finds. Then recordings whose
// damage once cost minutes or gigabytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../../fuzz/conversion_run.h"
#include "driver/conversion_fixture.h"
#include "postprocess/pp_records.h"
#include "support/recording.h"
#include "support/test_support.h"

namespace {

std::vector<std::filesystem::path> corpusFiles() {
  std::vector<std::filesystem::path> files;
  auto folder = std::filesystem::path(TARSEL_SOURCE_DIR) / "fuzz" / "corpus" / "conversion";
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class DamagedRecording : public ::testing::TestWithParam<std::filesystem::path> {
 protected:
  void SetUp() override {
    previousDirectory = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(previousDirectory); }

  /// Converts the recording; answers the exit status an F message asked for, or -1.
  int convert(const Bytes& recording) {
    msg::init("tarsel", 0);
    try {
      damaged::convertRecording(recording.data(), recording.size());
    } catch (const ExitCalled& exit) {
      return exit.status;
    }
    return -1;
  }

  CapturedMessages messages{0};
  TempDir dir;
  std::filesystem::path previousDirectory;
};

std::string testName(const ::testing::TestParamInfo<std::filesystem::path>& info) {
  std::string name = info.param.filename().string();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

}  // namespace

TEST_P(DamagedRecording, ConvertsToTheEndOrStopsWithStatusOne) {
  Bytes recording = readFile(GetParam().string());
  ASSERT_FALSE(recording.empty());
  int status = convert(recording);
  if (status == -1)
    EXPECT_NE(messages.all.find(": Done ("), std::string::npos) << messages.all;
  else
    EXPECT_EQ(status, 1);
  // Whatever the damage, the destination is opened before the first block is read.
  EXPECT_NE(messages.all.find("Destination: _19-05-17-10-30-00_1-cv.out"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(FuzzCorpus, DamagedRecording, ::testing::ValuesIn(corpusFiles()), testName);

namespace {

class DamagedSignalRecord : public DamagedRecording {};

}  // namespace

TEST_F(DamagedSignalRecord, ThousandsOfEmptySumBlocksAfterAShortFpgaCopyConvertQuickly) {
  // A damaged header copy claims a 4096 x 4096 matrix; the record then carries thousands of
  // "SUM" blocks without samples. Each is compared with the F-SUM copy only as far as a copy
  // ever filled the buffer (before, each crossed all 4 MiB of it: half a minute per megabyte).
  Bytes recording = cycleBlocks(0x80101000, sourceDsp, Bytes(256, 0));
  append(recording, cycleBlocks(0x80101000, sourceDsp, Bytes(256, 0)));  // the copy is taken
  Bytes stream = pp_test::dspHeaderBlock({{24, 1000}, {26, 4096}, {27, 4096}});
  Bytes empty = soft_test::sblock("SUM", {}, pp_test::Words{.w10 = 1001});
  for (int i = 0; i < 10000; ++i) append(stream, empty);
  append(recording, cycleBlocks(0xF0000000, sourceEif, stream));
  append(recording, cycleBlocks(0xF0000000, sourceEif, Bytes(256, 0)));
  damaged::Choices choices;
  choices.zero = 0;               // /zero=0 keeps the F-SUM copy
  choices.postProcessLevel = 5;   // the signal checks
  msg::init("tarsel", 0);
  auto start = std::chrono::steady_clock::now();
  damaged::convert(choices, damaged::writeSources(recording.data(), recording.size(), choices));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_NE(messages.all.find("SUM 1001(1): FPGA[4096,4096] too small 256\n"), std::string::npos);
  EXPECT_EQ(messages.all.find("mismatch"), std::string::npos);
}

using DamagedSourceBytes = ConversionFixture;

TEST_F(DamagedSourceBytes, AFlowTakesAtMostEightSourcesAndCountsTheRestAsUnrecognised) {
  // Every clone has storage of the flow's full size: a recording whose source bytes are
  // damaged once made clones of every flow for each of 255 sources (5 GiB for 1.6 MB).
  loadLayout("", nullptr);
  size_t layoutRecords = table.size();
  Bytes recording;
  for (uint8_t source = 1; source <= 20; ++source)
    append(recording, filledBlock(0x80000000, source, 7));
  convert({recording});
  EXPECT_EQ(table.size(), layoutRecords + maxFlowSources - 1);
  for (uint8_t source = 2; source <= 8; ++source)
    EXPECT_NE(lines().find("Flow: F-HDR@" + std::to_string(source) + " b=0x80000000"),
              std::string::npos);
  EXPECT_EQ(lines().find("Flow: F-HDR@9 "), std::string::npos);
  EXPECT_NE(lines().find("tarsel-W: Unrecognized flow: 1\ntarsel-W:   @80000000: 12\n"),
            std::string::npos)
      << lines();
}

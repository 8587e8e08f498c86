// The session history of a whole run: tarsel /postprocess over a synthetic recording writes
// both history files named after the recording, and the end report counts the blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "postprocess/pp_records.h"

using ::testing::HasSubstr;
using ::testing::Not;
using pp_test::linesOf;

namespace {

const char* const recording = "_19-05-17-10-30-00_1.rec";

class HistoryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(tarselPath()) || !std::filesystem::exists(tarselPath("tarsel-synth")))
      GTEST_SKIP() << "tarsel and tarsel-synth are not built";
    ProgramResult synth = runProgram(dir, tarselPath("tarsel-synth"),
                                     "--batches 8 --rows 8 --cols 64 --standby 4:2 --quiet");
    ASSERT_EQ(synth.status, 0) << synth.err;
  }
  std::vector<std::string> lines(const std::string& name) { return linesOf(dir.file(name)); }
  TempDir dir;
};

}  // namespace

TEST_F(HistoryRunTest, PostprocessWritesBothHistoryFilesWithPlausibleLines) {
  ProgramResult r = runProgram(dir, tarselPath(), std::string(recording) + " /postprocess");
  ASSERT_EQ(r.status, 0) << r.err;
  auto history = lines("pp-_19-05-17-10-30-00_1.rec.txt");
  auto aesa = lines("pp-aesa-_19-05-17-10-30-00_1.rec.txt");
  ASSERT_GE(history.size(), 5u);
  EXPECT_EQ(history.size(), aesa.size());
  EXPECT_EQ(history[0], aesa[0]);
  EXPECT_EQ(history[0].substr(0, 58), "file                                            ;time    ;");
  std::string prefix = std::string(recording) + std::string(48 - 24, ' ') + ";";
  bool sawStandby = false, sawRadar = false, sawCommands = false, sawResponses = false;
  for (size_t i = 1; i < history.size(); ++i) {
    EXPECT_EQ(history[i].substr(0, 49), prefix) << i;
    EXPECT_EQ(history[i].back(), '0') << i;
    EXPECT_EQ(std::count(history[i].begin(), history[i].end(), ';'), 33) << history[i];
    EXPECT_EQ(aesa[i].substr(0, 49), prefix) << i;
    sawStandby |= history[i].find(";STBY;") != std::string::npos;
    sawRadar |= history[i].find(";RAD ;") != std::string::npos;
    sawCommands |= aesa[i].find(">>>") != std::string::npos;
    sawResponses |= aesa[i].find("<<<") != std::string::npos;
  }
  EXPECT_TRUE(sawStandby);
  EXPECT_TRUE(sawRadar);
  EXPECT_TRUE(sawCommands);
  EXPECT_TRUE(sawResponses);
  // A line after the software status shows the flight: a batch, the mode and a latitude.
  std::regex flying(R"(;10:30:\d\d;\s+10\d\d;\s+\d+;RWS ;   4;.*;   45\.4\d{5};    9\.2\d{5};0$)");
  EXPECT_TRUE(std::any_of(history.begin(), history.end(),
                          [&](const std::string& line) { return std::regex_search(line, flying); }));

  EXPECT_THAT(r.err, HasSubstr("tarsel-W[_19-05-17-10-30-00_1.rec:"));
  EXPECT_THAT(r.err, HasSubstr("]: Changed: Mode1553 = RWS \n"));
  std::regex total(R"(tarsel-I: Postprocess                     : \d+\n)");
  EXPECT_TRUE(std::regex_search(r.err, total)) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-I:   EIF:D1553                       : 8\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-I:   EIF:HDR                         : 8\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("corrupted signal block")));
}

TEST_F(HistoryRunTest, LevelMinusOneCountsWithoutFilesAndAbsentLevelDoesNothing) {
  ProgramResult counted = runProgram(dir, tarselPath(), std::string(recording) + " /postprocess=-1");
  ASSERT_EQ(counted.status, 0) << counted.err;
  EXPECT_THAT(counted.err, HasSubstr("tarsel-I:   EIF:CDPSTS                      : 8\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("pp-_19-05-17-10-30-00_1.rec.txt")));
  EXPECT_THAT(counted.err, Not(HasSubstr("Changed:")));

  ProgramResult off = runProgram(dir, tarselPath(), std::string(recording) + " /o=off.out");
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_THAT(off.err, Not(HasSubstr("Postprocess")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("pp-_19-05-17-10-30-00_1.rec.txt")));
}

TEST_F(HistoryRunTest, SignalChecksOfACleanRecordingFindNoDamage) {
  ProgramResult r =
      runProgram(dir, tarselPath(), std::string(recording) + " /postprocess=6 /zero=0");
  ASSERT_EQ(r.status, 0) << r.err;
  // Every copy has the same length: one size line, against 0, for the first block.
  std::regex size(R"(]: SUM 1000\(0\) size: 0 -> \d+ \(0\) <- 2048 \(\d+\) \[8,64\]\n)");
  EXPECT_TRUE(std::regex_search(r.err, size)) << r.err;
  EXPECT_EQ(r.err.find("size:"), r.err.rfind("size:"));
  EXPECT_THAT(r.err, Not(HasSubstr("Marker inside signal")));
  EXPECT_THAT(r.err, Not(HasSubstr("mismatch")));
  EXPECT_THAT(r.err, Not(HasSubstr("Zeros inside signal")));
}

// The run report a conversion leaves for scripts: clean, damaged and failed runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/recording.h"
#include "support/run_program.h"

namespace {

class RunReportFile : public ::testing::Test {
 protected:
  nlohmann::json convert(const Bytes& recording, const std::string& more = "") {
    writeFile(dir.file("_19-05-17-10-30-00_3.rec"), recording);
    result = runProgram(dir, tarselPath(), "_19-05-17-10-30-00_3.rec /hfw /report=run.json " + more);
    Bytes text = readFile(dir.file("run.json"));
    return nlohmann::json::parse(std::string(text.begin(), text.end()));
  }
  TempDir dir;
  ProgramResult result;
};

TEST_F(RunReportFile, ACleanRunIsCompleteAndCountsWhatWasWritten) {
  nlohmann::json report = convert(headerAndSignalBatches(1, 3));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(report["complete"]);
  EXPECT_EQ(report["exit_status"], 0);
  EXPECT_EQ(report["sources"][0]["bytes"], readFile(dir.file("_19-05-17-10-30-00_3.rec")).size());
  EXPECT_EQ(report["destination"]["name"], "_19-05-17-10-30-00_3-cv.out");
  EXPECT_EQ(report["destination"]["bytes"], 6u * (32 + 4096));
  EXPECT_EQ(report["destination"]["records"], 6u);
  EXPECT_EQ(report["batches"]["first"], 1);
  EXPECT_EQ(report["batches"]["last"], 3);
  EXPECT_FALSE(report["interrupted"]["interrupted"]);
  EXPECT_TRUE(report["damage"]["resynchronisations"].empty());
}

TEST_F(RunReportFile, DamageIsListedAndTheRunIsNotComplete) {
  Bytes recording = headerAndSignalBatches(1, 3);
  // Stray bytes in the middle of a block: bad headers, a failed walk back, a resynchronisation.
  recording.insert(recording.begin() + 272 * 5 + 100, 300, 0xAB);
  nlohmann::json report = convert(recording);
  EXPECT_FALSE(report["complete"]);
  ASSERT_FALSE(report["damage"]["bad_header_series"].empty()) << report.dump(1);
  EXPECT_EQ(report["damage"]["bad_header_series"][0]["file"], "_19-05-17-10-30-00_3.rec");
  uint64_t skipped = 0;
  for (const auto& r : report["damage"]["resynchronisations"]) skipped += r["bytes_skipped"].get<uint64_t>();
  EXPECT_EQ(report["damage"]["bytes_skipped"], skipped);
  uint64_t partial = 0;
  for (const auto& f : report["flows"]) partial += f["partial_cycles_disregarded"].get<uint64_t>();
  EXPECT_GT(partial + report["damage"]["resynchronisations"].size(), 0u) << report.dump(1);
}

TEST_F(RunReportFile, AnFMessageStillLeavesAReportWithItsStatus) {
  // The source opened, the destination cannot be created.
  nlohmann::json report = convert(headerAndSignalBatches(1, 3), "/o=no-such-folder/x.out");
  EXPECT_NE(result.status, 0) << result.err;
  EXPECT_FALSE(report["complete"]);
  EXPECT_EQ(report["exit_status"], result.status);
  EXPECT_EQ(report["interrupted"]["by"], "F message");
  EXPECT_GE(report["messages"]["F"], 1);
}

}  // namespace

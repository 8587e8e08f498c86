// Runs that end early: a stop signal, a destination that stops taking data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct StopSignal {
  const char* name;
  const char* shown;
  int status;
};

class StoppedRun : public ::testing::TestWithParam<StopSignal> {
 protected:
  TempDir dir;
};

const StopSignal stopSignals[] = {{"TERM", "[SIGTERM]\n", 143}, {"HUP", "[SIGHUP]\n", 129}};

}  // namespace

TEST_P(StoppedRun, EndsNormallyAndExitsWithTheSignalStatus) {
  const StopSignal& s = GetParam();
  ProgramResult synth = runProgram(dir, tarselPath("tarsel-synth"), "--size 150M");
  ASSERT_EQ(synth.status, 0) << synth.err;
  const std::string run = tarselPath() + " _19-05-17-10-30-00_1.rec //o /gps /postprocess=5 /report=r.json";
  // The signal goes once the scan has begun, however slowly the machine starts the program and
  // however fast it converts: the program is held while the signal is sent.
  ProgramResult r = runProgram(dir, "sh", "-c '" + run + " 2>err.txt & p=$!; " +
                                              "until grep -q \"First block found\" err.txt; do sleep 0.02; done; " +
                                              "kill -STOP $p; kill -" + s.name + " $p; kill -CONT $p; wait $p; s=$?; cat err.txt >&2; exit $s'");
  if (r.status == 0 && r.out.find(s.shown) == std::string::npos)
    GTEST_SKIP() << "the conversion ended before the signal";
  EXPECT_EQ(r.status, s.status) << r.err;
  EXPECT_THAT(r.out, HasSubstr(s.shown));
  EXPECT_THAT(r.err, HasSubstr("processed "));  // the closing statistics
  ProgramResult check = runProgram(dir, tarselPath("tarsel-records"), "check _19-05-17-10-30-00_1-cv.out");
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  const std::string gpx = slurp(dir.file("track-_19-05-17-10-30-00_1-cv.out.gpx"));
  EXPECT_TRUE(gpx.empty() || gpx.ends_with("</gpx>\n")) << gpx;  // no track before a position
  const std::string track = slurp(dir.file("track-_19-05-17-10-30-00_1-cv.out.txt"));
  EXPECT_TRUE(track.empty() || track.ends_with("\n"));
  // The report says what stopped the run, and the status it ends with.
  const std::string report = slurp(dir.file("r.json"));
  EXPECT_THAT(report, HasSubstr("\"by\": \"SIG" + std::string(s.name) + "\""));
  EXPECT_THAT(report, HasSubstr("\"exit_status\": " + std::to_string(s.status)));
  EXPECT_THAT(report, HasSubstr("\"complete\": false"));
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedRun, ::testing::ValuesIn(stopSignals),
                         [](const auto& param) { return std::string(param.param.name); });

// After the last block lie 256 GiB of zeros (a sparse file): the forward search for the next
// header, which would take minutes over them, ends at the stop signal like the read loop.
TEST(StoppedRun, EndsTheSearchForwardOverALongDamagedStretch) {
  TempDir dir;
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 2));
  std::filesystem::resize_file(dir.file("a.rec"), uint64_t{256} << 30);
  ProgramResult r = runProgram(dir, "sh", "-c 'timeout 60 " + tarselPath() +
                                              " a.rec //o & p=$!; sleep 0.5; kill -TERM $p; wait $p'");
  EXPECT_EQ(r.status, 143) << r.err;  // not 124: timeout did not have to end it
  EXPECT_THAT(r.err, HasSubstr("broken recording?"));
  EXPECT_THAT(r.err, Not(HasSubstr("resynchronised at")));
  EXPECT_THAT(r.err, HasSubstr("processed "));  // the closing statistics
}

// timeout(1) sends its signal to the program and to its process group at once: the two copies
// are one request to stop, not a second signal that ends the program at once.
TEST(StoppedRun, TwoCopiesOfASignalAtOnceAreOneRequest) {
  TempDir dir;
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 2));
  std::filesystem::resize_file(dir.file("a.rec"), uint64_t{256} << 30);
  for (int round = 0; round < 5; ++round) {
    ProgramResult r = runProgram(dir, "sh", "-c 'timeout 60 " + tarselPath() + " a.rec //o & " +
                                                "p=$!; sleep 0.3; kill -TERM $p; wait $p'");
    EXPECT_EQ(r.status, 143) << r.err;
    EXPECT_THAT(r.err, HasSubstr("processed ")) << "round " << round;
  }
}

TEST(FullDestination, KeepsTheWholeRecordsAndFails) {
  TempDir dir;
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 10));
  // 10240 bytes: two records of 32 + 4096 bytes fit, the third does not.
  ProgramResult r = runProgram(dir, tarselPath(), "a.rec /hfw //o", "ulimit -f 20 &&");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("write error on a-cv.out -- File too large (27)\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S: processed 0Mib -> 0.008Mib,"));
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 2u * (32 + 4096));
}

// A product whose writes fail (here a name linked to /dev/full) is reported once with its name
// and fails the run; the destination and the other products are written as usual.
class FullProduct : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() { directory = synthesizedFlight("--size 20M"); }
  static void TearDownTestSuite() { directory.reset(); }
  static inline std::unique_ptr<TempDir> directory;
};

TEST_P(FullProduct, IsReportedOnceAndFailsTheRun) {
  ASSERT_TRUE(directory);
  const TempDir& dir = *directory;
  const std::string product = GetParam();
  std::filesystem::remove(dir.file(product));
  std::filesystem::create_symlink("/dev/full", dir.file(product));
  ProgramResult r = runProgram(dir, tarselPath(),
                               "_19-05-17-10-30-00_1.rec //o /gps /postprocess=3 /hfw /report=r.json");
  std::filesystem::remove(dir.file(product));
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string message = "write error on " + product + " -- No space left on device (28)\n";
  size_t at = r.err.find(message);
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(message, at + 1), std::string::npos) << "reported twice";
  EXPECT_GT(readFile(dir.file("_19-05-17-10-30-00_1-cv.out")).size(), 0u);
  const std::string report = slurp(dir.file("r.json"));
  EXPECT_THAT(report, HasSubstr("\"exit_status\": 1"));
  EXPECT_THAT(report, HasSubstr("\"name\": \"track-_19-05-17-10-30-00_1-cv.out.gpx\""));
}

INSTANTIATE_TEST_SUITE_P(Files, FullProduct,
                         ::testing::Values("track-_19-05-17-10-30-00_1-cv.out.txt",
                                           "track-_19-05-17-10-30-00_1-cv.out.gpx",
                                           "pp-_19-05-17-10-30-00_1.rec.txt", "header_in.txt"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name;
                           for (const char* c = param.param; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

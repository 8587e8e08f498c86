// Exact texts, levels, names, statuses and orders of the conversion driver: whole runs of the
// program, and the scanner on recordings built in memory with small layouts of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>

#include "driver/conversion_fixture.h"
#include "support/run_program.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr uint32_t fSum = 0x80101000, unknownAddress = 0x30000000;

/// F-SUM cycles without any header: only the driver's own lines appear.
Bytes signalOnly() {
  Bytes data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  Bytes recording = cycleBlocks(fSum, sourceDsp, data);
  append(recording, cycleBlocks(fSum + 0x1000000, sourceDsp, data));
  append(recording, cycleBlocks(fSum, sourceDsp, Bytes(data.begin(), data.begin() + 512)));
  return recording;
}

/// The elapsed seconds of the summary lines depend on the machine: shown as "N".
std::string withoutElapsed(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9]+ sec elapsed"), "N sec elapsed");
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ProgramAudit : public ::testing::Test {
 protected:
  ProgramResult tarsel(const std::string& arguments, const std::string& environment = "") {
    return runProgram(dir, tarselPath(), arguments, environment);
  }
  TempDir dir;
};

}  // namespace

// ---- whole runs ----

TEST_F(ProgramAudit, TranscriptOfARunWithStrayBytesAndAnUnknownAddress) {
  Bytes recording(32, 0xEE);
  Bytes signal = signalOnly();
  // Two blocks of an address no flow claims, between the second and the third cycle.
  Bytes unknown = filledBlock(unknownAddress, sourceDsp, 9);
  signal.insert(signal.begin() + 32 * 272, unknown.begin(), unknown.end());
  signal.insert(signal.begin() + 33 * 272, unknown.begin(), unknown.end());
  append(recording, signal);
  writeFile(dir.file("s.rec"), recording);
  ProgramResult r = tarsel("s.rec");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tarsel v.2.1: Convert VELOX-E recorded data\n");
  EXPECT_EQ(withoutElapsed(r.err),
            "tarsel-I: Configuration file: <default>\n"
            "tarsel-I[s.rec]: [1] size = 9824\n"
            "tarsel-S[s.rec]: Destination: s-cv.out\n"
            "tarsel-I[s.rec]: leading incomplete block\n"
            "tarsel-S[s.rec:32]: First block found\n"
            "tarsel-W[s.rec:8752]: ????32 @2230: 0x30000000\n"
            "tarsel-I[s.rec:9824]: batches: 0..0  0:00:00\n"
            "tarsel-S: F-SUM@33: 3 (0x80101000*0x1000 +0x1000000)\n"
            "tarsel-W: Unrecognized flow: 1\n"
            "tarsel-W:   @30000000: 2\n"
            "tarsel-S: processed 0Mib -> 0.008Mib, 0.009 Mib/sec\n"
            "tarsel-S:   timestamp:  0:00:00..0:00:00=1sec\n"
            "tarsel-S:   timetag  :  0..0=0 = 0.000sec\n"
            "tarsel-S:   batches  :  0..0=0\n"
            // The warning summary raises the threshold to E, which hides the exit-time one.
            "tarsel-W: Done (0). 0 fail(s), 0 error(s), 3 warning(s). N sec elapsed\n\n");
  // Two whole cycles and the flushed 512-byte one, each behind its 32-byte record header.
  EXPECT_EQ(readFile(dir.file("s-cv.out")).size(), 2u * (32 + 4096) + 32 + 512);
}

TEST_F(ProgramAudit, ACleanRunShowsTheSummaryTwice) {
  writeFile(dir.file("s.rec"), signalOnly());
  ProgramResult r = tarsel("s.rec /analyze");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(withoutElapsed(r.err),
              HasSubstr("tarsel-S:   batches  :  0..0=0\n"
                        "tarsel-S: Done (0). N sec elapsed\n"
                        "tarsel-S: Done (0). N sec elapsed\n"));
  EXPECT_TRUE(r.err.ends_with(" sec elapsed\n"));
}

TEST_F(ProgramAudit, ConcatenatingANameWithoutUnderscoreOrDotTriesNameZeroDot) {
  writeFile(dir.file("b"), signalOnly());
  ProgramResult r = tarsel("b /n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-I: Process: b -> 0:1\n"
                               "tarsel-E[b0.]: processed 0 files\n"
                               "tarsel-F[b0.]: open source file -- No such file or directory (2)\n"
                               "tarsel-W[b0.]: Done (20). 1 fail(s), 1 error(s), 0 warning(s). "));
}

TEST_F(ProgramAudit, AnUncreatableDestinationIsFatalBeforeTheDestinationLine) {
  writeFile(dir.file("a.rec"), signalOnly());
  std::filesystem::create_directory(dir.file("a-cv.out"));
  ProgramResult r = tarsel("a.rec");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[a.rec]: [1] size = 9248\n"
                               "tarsel-F[a.rec]: opening file a-cv.out -- Is a directory (21)\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("Destination:")));
}

TEST_F(ProgramAudit, TheDefaultDestinationIsNamedAfterTheBaseNameAndReplacedWithoutAsking) {
  // A Windows path is one file name here; its directory part still goes.
  writeFile(dir.file("D:\\rec\\a.rec"), signalOnly());
  ProgramResult first = tarsel("'D:\\rec\\a.rec'");
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(first.err, HasSubstr("tarsel-I[a.rec]: [1] size = 9248\n"
                                   "tarsel-S[a.rec]: Destination: a-cv.out\n"));
  ProgramResult again = tarsel("'D:\\rec\\a.rec'");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 2u * (32 + 4096) + 32 + 512);
}

TEST_F(ProgramAudit, ABadHeaderAtTheStartOfTheSecondFileEndsWithStatusOne) {
  writeFile(dir.file("_19-05-17-10-30-00_1.rec"), signalOnly());
  writeFile(dir.file("_19-05-17-10-30-00_2.rec"), Bytes(272, 0));
  ProgramResult r = tarsel("_19-05-17-10-30-00_1.rec /n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[_19-05-17-10-30-00_1.rec:9248]: batches: 0..0  0:00:00\n"
                               "tarsel-I[_19-05-17-10-30-00_2.rec]: [2] size = 272\n"
                               "tarsel-W[_19-05-17-10-30-00_2.rec]: Incomplete block (0x0)\n"
                               "tarsel-F[_19-05-17-10-30-00_2.rec]: back retry error\n"
                               "tarsel-W[_19-05-17-10-30-00_2.rec]: Done (20). 1 fail(s), 0 error(s), "
                               "1 warning(s). "));
  EXPECT_THAT(r.err, Not(HasSubstr("processed 0Mib")));
}

TEST_F(ProgramAudit, ABadHeaderAtTheStartOfTheSecondFileKeepsTheCyclesOfTheFirst) {
  writeFile(dir.file("_19-05-17-10-30-00_1.rec"), signalOnly());
  writeFile(dir.file("_19-05-17-10-30-00_2.rec"), Bytes(272, 0));
  ProgramResult r = tarsel("_19-05-17-10-30-00_1.rec /concatenate /o=out.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("back retry error\n"));
  EXPECT_EQ(readFile(dir.file("out.bin")).size(), 2u * (32 + 4096));
}

// The F message ends the run: the destination keeps its whole records, a product still open is
// discarded, so its earlier file stays as it was and no temporary is left.
TEST_F(ProgramAudit, AnFMessageLeavesTheEarlierProductsUntouched) {
  writeFile(dir.file("_19-05-17-10-30-00_1.rec"), signalOnly());
  const std::string history = "pp-_19-05-17-10-30-00_1.rec.txt";
  writeFile(dir.file(history), Bytes{'o', 'l', 'd', '\n'});
  ASSERT_EQ(tarsel("_19-05-17-10-30-00_1.rec /o=out.bin /postprocess=3 //o").status, 0);
  ASSERT_NE(readFile(dir.file(history)), (Bytes{'o', 'l', 'd', '\n'}));  // a whole run replaces it
  writeFile(dir.file(history), Bytes{'o', 'l', 'd', '\n'});
  writeFile(dir.file("_19-05-17-10-30-00_2.rec"), Bytes(272, 0));
  ProgramResult r = tarsel("_19-05-17-10-30-00_1.rec /concatenate /o=out.bin /postprocess=3 //o");
  EXPECT_EQ(r.status, 1);
  ASSERT_THAT(r.err, HasSubstr("back retry error\n"));
  EXPECT_EQ(readFile(dir.file("out.bin")).size(), 2u * (32 + 4096));
  EXPECT_EQ(readFile(dir.file(history)), (Bytes{'o', 'l', 'd', '\n'}));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name[0] == '.' && name.find('.', 1) != std::string::npos) << name;
  }
}

TEST_F(ProgramAudit, MaxZeroEndsTheScanAfterTheFirstBlockWithoutAFileLine) {
  writeFile(dir.file("s.rec"), signalOnly());
  ProgramResult r = tarsel("s.rec /m=0 /a");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("tarsel-S[s.rec]: First block found\n"
                               "tarsel-S: F-SUM@33: 1 (0x80101000*0x100 +0x1000000)\n"));
  // The file is not finished by a short read, so no "batches:" line.
  EXPECT_THAT(r.err, Not(HasSubstr("batches: ")));
}

TEST_F(ProgramAudit, StopEndsAtTheFirstDamagedHeaderAndStillReports) {
  Bytes recording = signalOnly();
  recording.erase(recording.begin() + 20 * 272 + 240, recording.begin() + 21 * 272);
  writeFile(dir.file("s.rec"), recording);
  ProgramResult r = tarsel("s.rec /ss /a");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("tarsel-W[s.rec:5712]: Incomplete block (0x1650)\n"
                               // the damaged cycle is flushed at the end: two cycles
                               "tarsel-S: F-SUM@33: 2 (0x80101000*0x1000 +0x1000000)\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("Back retry")));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S:   batches  :  0..0=0\n"));
}

// The header observer is current from the start, so /hfw keeps it current and /bstart compares
// the firmware header's batch.
TEST_F(ProgramAudit, FirmwareHeaderObserverIsCurrentFromTheStart) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 3));
  ProgramResult r = tarsel("a.rec /hfw /b=2");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[a.rec:13072]: batch 2 - start saving\n"));
  // Header 2, F-SUM 2, header 3, F-SUM 3, and the F-SUM of batch 1 completed once saving began.
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 5u * (32 + 4096));
}

// The date pattern needs the leading "_" and six numbers, nothing after them.
TEST_F(ProgramAudit, FixdateNeedsOnlyTheSixNumbers) {
  std::string name = "_19-05-17-10-30-00.rec";
  writeFile(dir.file(name), headerAndSignalBatches(1, 3));
  ProgramResult r = tarsel(name + " /fixdate /analyze /hfw", "TZ=UTC");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[_19-05-17-10-30-00.rec:8976]: fix date: 17-5-19  10:30:15\n"));
  struct stat info {};
  ASSERT_EQ(stat(dir.file(name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1558089015);
}

// Whole qualifier names are matched before key prefixes, so the full names work.
TEST_F(ProgramAudit, WholeNamesSelectTheirQualifier) {
  writeFile(dir.file("a.rec"), signalOnly());
  ProgramResult r = tarsel("a.rec /nosignal /fixhr /concatenate=0");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir.file("a-cv.out")));
}

TEST_F(ProgramAudit, ADirectoryIsNoSource) {
  std::filesystem::create_directory(dir.file("d_1.rec"));
  ProgramResult r = tarsel("d_1.rec /n=1");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-E[d_1.rec]: processed 0 files\n"
                               "tarsel-F[d_1.rec]: open source file -- Is a directory (21)\n"));
}

// ---- the scanner on small layouts ----

namespace {

/// Records the cycles handed over.
class CycleLog : public IFlowObserver {
 public:
  void onFlowComplete(Flow& flow) override {
    events.push_back(std::string("complete ") + flow.name + " " + std::to_string(flow.extent));
    flow.cycles++;
  }
  void onFlowFlush(Flow& flow) override {
    events.push_back(std::string("flush ") + flow.name);
    flow.cycles++;
  }
  std::vector<std::string> events;
};

class ScannerAudit : public ConversionFixture {
 protected:
  /// Loads `text` (the built-in layout when empty) and points every flow at the log.
  void loadLayout(const std::string& text = "") { ConversionFixture::loadLayout(text, &log); }
  CycleLog log;
};

constexpr uint32_t fHdr = 0x80000000, x = 0x81101000;
const std::string file1 = "[_19-05-17-10-30-00_1.rec";

Bytes fHdrCycle(uint32_t half = 0) { return cycleBlocks(fHdr + half, sourceDsp, Bytes(4096, 0x11)); }

}  // namespace

TEST_F(ScannerAudit, TheTemplateIsTheLastClaimantBoundToAnotherSource) {
  loadLayout("{'flows': [ {'name': 'A', 'base': '0x81101000', 'size': 512, 'pingpong': 0},"
             "            {'name': 'B', 'base': '0x81101000', 'size': 512, 'pingpong': 0} ]}");
  Bytes recording = filledBlock(x, sourceDsp, 1);          // binds A
  append(recording, filledBlock(x, sourceEif, 2));         // A is taken: binds B
  append(recording, filledBlock(x, sourceDfe, 3));         // both taken: clone of B
  append(recording, filledBlock(x, sourceDsp, 4));         // A again, no new clone
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-I" + file1 + ":560]: Flow: B@86 b=0x81101000 a=0x81101000\n"));
  EXPECT_EQ(occurrences(lines(), "]: Flow: "), 1u);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0]->sourceId, 0x33u);
  EXPECT_EQ(table[1]->sourceId, 0x53u);
  EXPECT_STREQ(table[2]->name, "B");
  EXPECT_EQ(table[2]->sourceId, 0x56u);
  EXPECT_THAT(lines(), HasSubstr("tarsel-S: A@33: 2 (0x81101000*0x100 +0x0)\n"
                                 "tarsel-S: B@53: 1 (0x81101000*0x100 +0x0)\n"
                                 "tarsel-S: B@56: 1 (0x81101000*0x100 +0x0)\n"));
}

TEST_F(ScannerAudit, HalfAWinsWhereTheHalvesOverlap) {
  loadLayout("{'flows': [ {'name': 'X', 'base': '0x81101000', 'size': 4096, 'pingpong': '0x800'} ]}");
  // 0x800 starts half B, but it also lies in half A: index 8 of side 0, not a new cycle.
  Bytes recording = filledBlock(x, sourceDsp, 1);
  append(recording, filledBlock(x + 0x800, sourceDsp, 2));
  append(recording, filledBlock(x, sourceDsp, 3));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-E" + file1 + ":560]: X: partial flow disregarded, arrived=2, expected=9\n"));
  EXPECT_THAT(log.events, ::testing::ElementsAre("flush X"));
}

TEST_F(ScannerAudit, GivesUpOnTheFifteenthBadHeaderAfterFourteenStepsBack) {
  loadLayout();
  Bytes recording = fHdrCycle();
  append(recording, Bytes(600, 0));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-W" + file1 + ":4352]: Incomplete block (0x1100)\n"
                                 "tarsel-W" + file1 + ":4336]: Back retry: 0x10F0 (-0x10)...\n"));
  EXPECT_EQ(occurrences(lines(), "Back retry: "), 14u);
  EXPECT_EQ(occurrences(lines(), "Incomplete block"), 1u);
  EXPECT_THAT(lines(), HasSubstr("-W" + file1 + ":4128]: Back retry: 0x1020 (-0x10)...\n"
                                 "tarsel-E" + file1 + ":4128]: broken recording?\n"));
}

TEST_F(ScannerAudit, EveryDamagedSeriesStartsWithItsOwnIncompleteBlockLine) {
  loadLayout();
  Bytes recording = fHdrCycle();
  Bytes second = fHdrCycle(0x1000000), third = fHdrCycle();
  second.erase(second.begin() + 3 * 272 + 240, second.begin() + 4 * 272);
  third.erase(third.begin() + 5 * 272 + 224, third.begin() + 6 * 272);
  append(recording, second);
  append(recording, third);
  append(recording, fHdrCycle(0x1000000));
  convert({recording});
  EXPECT_EQ(occurrences(lines(), "Incomplete block"), 2u);
  EXPECT_EQ(occurrences(lines(), "Back retry: "), 2u + 3u);
  EXPECT_THAT(lines(), Not(HasSubstr("broken recording?")));
  EXPECT_THAT(lines(), HasSubstr("tarsel-S: F-HDR@33: 4 (0x80000000*0x1000 +0x1000000)\n"));
}

TEST_F(ScannerAudit, TheBatchLimitIsCheckedAfterAStrayHeaderToo) {
  loadLayout();
  run.maxBatches = 0;
  Bytes recording(32, 0xEE);
  append(recording, fHdrCycle());
  convert({recording});
  EXPECT_EQ(occurrences(lines(), "leading incomplete block"), 1u);
  EXPECT_THAT(lines(), Not(HasSubstr("First block found")));
}

TEST_F(ScannerAudit, StrayBytesNotAMultipleOfSixteenAreNeverResynchronised) {
  loadLayout();
  Bytes recording(8, 0xEE);
  append(recording, fHdrCycle());
  append(recording, fHdrCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), Not(HasSubstr("First block found")));
  // Every 16-byte read of the file is a stray header; the last 8 bytes end the scan.
  EXPECT_EQ(occurrences(lines(), "-I" + file1 + "]: leading incomplete block\n"), 1u);
  EXPECT_EQ(occurrences(lines(), "]: leading incomplete block\n"), (8u + 2 * 4352) / 16);
  EXPECT_THAT(lines(), HasSubstr("tarsel-i: F-HDR@0: 0\n"));
}

TEST_F(ScannerAudit, TheDateFixingPassSkipsStrayHeadersSilently) {
  loadLayout();
  run.fastDateFix = true;
  Bytes recording(48, 0xEE);
  append(recording, fHdrCycle());
  convert({recording});
  EXPECT_THAT(lines(), Not(HasSubstr("leading incomplete block")));
  EXPECT_THAT(lines(), HasSubstr("-S" + file1 + ":48]: First block found\n"));
}

TEST_F(ScannerAudit, AFileBoundaryBetweenBlocksIsAPartialReadOfNothing) {
  loadLayout();
  convert({fHdrCycle(), fHdrCycle(0x1000000)});
  EXPECT_THAT(lines(), HasSubstr("-I" + file1 + ":4352]: batches: 0..0  0:00:00\n"
                                 "tarsel-I[_19-05-17-10-30-00_2.rec]: [2] size = 4352\n"
                                 "tarsel-i[_19-05-17-10-30-00_2.rec]: partial read 16=0+16\n"));
  EXPECT_THAT(lines(), HasSubstr("-S[_19-05-17-10-30-00_3.rec]: 1..2: processed 2 files\n"));
  EXPECT_THAT(log.events, ::testing::ElementsAre("complete F-HDR 4096", "flush F-HDR"));
}

// The program as users run it: command line, start-up, source sequence, destination, exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr uint32_t dispHeader = 0x56004000;

class Program : public ::testing::Test {
 protected:
  ProgramResult tarsel(const std::string& arguments, const std::string& environment = "",
                       const std::string& input = "") {
    return runProgram(dir, tarselPath(), arguments, environment, input);
  }
  TempDir dir;
};

}  // namespace

TEST_F(Program, HelpShowsTheBannerTwiceTheUsageAndTheChangeList) {
  ProgramResult r = tarsel("//?");
  EXPECT_EQ(r.status, 0);
  const std::string banner = "tarsel v.2.1: Convert VELOX-E recorded data\n";
  EXPECT_EQ(r.out.rfind(banner + banner, 0), 0u) << r.out;
  EXPECT_THAT(r.err, HasSubstr("Usage: tarsel binfile [qualifier]\n  binfile: source binary file (required)\n"));
  EXPECT_THAT(r.err, HasSubstr("  /b: start batch to save\n  /report: write a JSON run report (required)\n  //h: extended help\n"));
  EXPECT_THAT(r.out, HasSubstr("Change list:\n  - Post-process data for session history (pp-*.txt file)\n"));
  EXPECT_THAT(r.out, HasSubstr("'ant_pos-*.txt'\n"));
}

TEST_F(Program, WithoutArgumentsReportsTheMissingSourceParameter) {
  ProgramResult r = tarsel("");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-F: Missed required paramters binfile (//? for help)\n"));
}

TEST_F(Program, ConvertsARecordingIntoTheDestinationFile) {
  writeFile(dir.file("_19-05-17-10-30-00_3.rec"), headerAndSignalBatches(1, 3));
  ProgramResult r = tarsel("_19-05-17-10-30-00_3.rec /hfw");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-S[_19-05-17-10-30-00_3.rec]: Destination: _19-05-17-10-30-00_3-cv.out\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S: F-SUM@33: 3 (0x80101000*0x1000 +0x1000000)\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S:   batches  :  1..3=2\n"));
  // The last header is flushed at the end without header decoding.
  EXPECT_THAT(r.err, HasSubstr("tarsel-S:   timestamp:  10:30:15..10:30:16=1sec\n"));
  Bytes out = readFile(dir.file("_19-05-17-10-30-00_3-cv.out"));
  // Records: header 1, F-SUM 1, header 2, F-SUM 2, header 3, F-SUM 3 (the last two flushed).
  ASSERT_EQ(out.size(), 6u * (32 + 4096));
  const std::span<const uint8_t> record(out.data() + (32 + 4096), 32 + 4096);
  const format::RecordHeader header = format::RecordHeader::parse(record);
  EXPECT_TRUE(header.hasMarker());
  EXPECT_EQ(header.name, (std::array<char, 8>{'F', '-', 'S', 'U', 'M'}));
  EXPECT_EQ(header.end, (32 + 4096) + 4096 + 4);
  EXPECT_EQ(header.length, 4096u);
  EXPECT_EQ(header.sourceId, 0x33);
  EXPECT_EQ(header.sourceTag, 1);
  EXPECT_EQ(record[32], static_cast<uint8_t>(1));  // batch 1's first sample byte
}

TEST_F(Program, ConcatenatesTheNumberedSequenceUntilAFileIsMissing) {
  Bytes all = headerAndSignalBatches(1, 4);
  size_t cut = all.size() / 2 + 100;  // inside a block
  writeFile(dir.file("_19-05-17-10-30-00_3.rec"), Bytes(all.begin(), all.begin() + cut));
  writeFile(dir.file("_19-05-17-10-30-00_4.rec"), Bytes(all.begin() + cut, all.end()));
  writeFile(dir.file("_19-05-17-10-30-00_6.rec"), headerAndSignalBatches(9, 9));
  ProgramResult r = tarsel("_19-05-17-10-30-00_3.rec /concatenate /hfw");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-I: Process: _19-05-17-10-30-00_ -> 3:100003\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[_19-05-17-10-30-00_4.rec]: [2] size = "));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S[_19-05-17-10-30-00_5.rec]: 3..4: processed 2 files\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-S: F-SUM@33: 4 (0x80101000*0x1000 +0x1000000)\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("_6.rec")));
}

TEST_F(Program, ConcatenateWithACountStopsAfterThatManyFiles) {
  for (int n : {3, 4, 5}) writeFile(dir.file("_19-05-17-10-30-00_" + std::to_string(n) + ".rec"), headerAndSignalBatches(n, n));
  ProgramResult r = tarsel("_19-05-17-10-30-00_3.rec /n=2 /hfw");
  EXPECT_THAT(r.err, HasSubstr("Process: _19-05-17-10-30-00_ -> 3:5\n"));
  EXPECT_THAT(r.err, HasSubstr("3..4: processed 2 files\n"));
  ProgramResult single = tarsel("_19-05-17-10-30-00_3.rec /n=0 /hfw");
  EXPECT_THAT(single.err, Not(HasSubstr("processed 1 files")));
  EXPECT_THAT(single.err, HasSubstr("[1] size = "));
  EXPECT_THAT(single.err, Not(HasSubstr("[2] size = ")));
}

TEST_F(Program, NumberedNamesHaveNoLeadingZeros) {
  writeFile(dir.file("_007.rec"), headerAndSignalBatches(1, 1));
  ProgramResult r = tarsel("_007.rec /n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-I: Process: _ -> 7:100007\n"));
  EXPECT_THAT(r.err, HasSubstr("tarsel-E[_7.rec]: processed 0 files\n"
                               "tarsel-F[_7.rec]: open source file -- No such file or directory (2)\n"));
}

TEST_F(Program, MissingSourceEndsWithStatusOne) {
  ProgramResult r = tarsel("nothing.rec");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-F: Cannot access file nothing.rec -- No such file or directory (2)\n"));
}

TEST_F(Program, AnalyzeWritesNoDestination) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 2));
  ProgramResult r = tarsel("a.rec /analyze /hfw");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("Destination: a-cv.out\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("a-cv.out")));
}

TEST_F(Program, OutfileReplacesTheDestinationAndAbsolutePathsAreSources) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 2));
  ProgramResult r = tarsel(dir.file("a.rec") + " /o=x.bin /hfw");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Destination: x.bin\n"));
  EXPECT_TRUE(std::filesystem::exists(dir.file("x.bin")));
  ProgramResult again = tarsel(dir.file("a.rec") + " /o=x.bin /hfw");
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("Output file x.bin exist (use '//o' or '//i' to overwrite)"));
}

TEST_F(Program, FixdateSetsTheModificationTimeFromNameAndHeader) {
  std::string name = "_19-05-17-10-30-00_3.rec";
  writeFile(dir.file(name), headerAndSignalBatches(1, 3, 37815));
  ProgramResult r = tarsel(name + " /fixdate /analyze /hfw", "TZ=UTC");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("fix date: 17-5-19  10:30:15\n"));
  struct stat info {};
  ASSERT_EQ(stat(dir.file(name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1558089015);  // 2019-05-17 10:30:15 UTC
}

TEST_F(Program, FixdateFollowsTheLocalTimeZone) {
  std::string name = "_19-05-17-10-30-00_3.rec";
  writeFile(dir.file(name), headerAndSignalBatches(1, 3, 37815));
  // Central European time written as a POSIX rule, so no time zone database is needed.
  tarsel(name + " /fixdate /analyze /hfw", "TZ='CET-1CEST,M3.5.0,M10.5.0/3'");
  struct stat info {};
  ASSERT_EQ(stat(dir.file(name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1558089015 - 2 * 3600);  // summer time, two hours ahead of UTC
}

TEST_F(Program, FixdateRefusesANameWithoutTheDatePattern) {
  writeFile(dir.file("a_3.rec"), headerAndSignalBatches(1, 1));
  ProgramResult r = tarsel("a_3.rec /fixdate /hfw");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarsel-E[a_3.rec]: Invalid filename format a_3.rec\n"));
}

TEST_F(Program, PlaybackVariantPresetsRefuseARepeatedQualifier) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 1));
  ProgramResult r = runProgram(dir, tarselPath("tarseldfe"), "a.rec /hfw");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("tarseldfe-S: Autoset option for DFE playback\n"));
  EXPECT_THAT(r.err, HasSubstr("tarseldfe-F: multiple qualifier firmwareheader\n"));
  ProgramResult dsp = runProgram(dir, tarselPath("tarseldsp"), "a.rec /hfw /vshow=40");
  EXPECT_EQ(dsp.status, 0) << dsp.err;
  EXPECT_THAT(dsp.err, HasSubstr("tarseldsp-S: Autoset option for DSP playback\n"));
}

TEST_F(Program, LayoutChoice) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 1));
  std::ofstream(dir.file("tarsel_cfg.json")) << "{'flows': [ {'name': 'X', 'base': '0x81101000'} ]}";
  ProgramResult cfg = tarsel("a.rec /a");
  EXPECT_THAT(cfg.err, HasSubstr("tarsel-I: Configuration file: tarsel_cfg.json\n"));
  EXPECT_THAT(cfg.err, HasSubstr("tarsel-S: X@33: 1 (0x81101000*0x1000 +0x0)\n"));
  ProgramResult builtIn = tarsel("a.rec /a /j");
  EXPECT_THAT(builtIn.err, HasSubstr("tarsel-I: Configuration file: <default>\n"));
  std::ofstream(dir.file("bad.json")) << "[1]";
  ProgramResult bad = tarsel("a.rec /json=bad.json");
  EXPECT_EQ(bad.status, 1);
  EXPECT_THAT(bad.err, HasSubstr("tarsel-F: bad.json: JSON error: Parsing Error\n"));
}

TEST_F(Program, DateFixingPassReadsEachFileOnlyUntilItsFirstTime) {
  // Each file: one header cycle, then one block of the other half that completes it.
  const uint32_t batches[] = {1, 3, 5}, times[] = {37815, 40000, 50000};
  for (int i = 0; i < 3; ++i) {
    Bytes file = dispHeaderCycle({batches[i], times[i]});
    append(file, recorderBlock(dispHeader + 0x100, 0x33));
    append(file, headerAndSignalBatches(20, 30));  // never read
    writeFile(dir.file("_19-05-17-10-30-00_" + std::to_string(i + 1) + ".rec"), file);
  }
  ProgramResult r = tarsel("_19-05-17-10-30-00_1.rec /n /fixdate /analyze /hfw", "TZ=UTC");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("-I[_19-05-17-10-30-00_1.rec:4624]: skip to next\n"));
  EXPECT_THAT(r.err, HasSubstr("-I[_19-05-17-10-30-00_1.rec:4624]: fix date: 17-5-19  10:30:15\n"));
  // Later files get the last header time seen before they were opened.
  EXPECT_THAT(r.err, HasSubstr("-I[_19-05-17-10-30-00_2.rec:4624]: fix date: 17-5-19  10:30:15\n"));
  EXPECT_THAT(r.err, HasSubstr("-I[_19-05-17-10-30-00_3.rec:4624]: fix date: 17-5-19  11:6:40\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("F-SUM")));
  struct stat info {};
  ASSERT_EQ(stat(dir.file("_19-05-17-10-30-00_3.rec").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1558089015 - 37815 + 40000);
}

namespace {

/// A 256-byte SOFT cycle holding one S-Block named `name` (104 data bytes).
Bytes softCycle(const char* name, bool damagedEnd) {
  Bytes data(256, 0);
  std::memset(data.data(), 0x5A, 8);
  putU32(data, 20, 128 + 104);
  std::memcpy(data.data() + 68, name, std::strlen(name));
  std::memset(data.data() + 248, damagedEnd ? 0x00 : 0xA5, 8);
  return cycleBlocks(0xF0000000, 0x53, data);
}

}  // namespace

TEST_F(Program, PostProcessingHandsSavedRecordsToTheDecoder) {
  Bytes recording = softCycle("D1553", false);
  append(recording, softCycle("ZZBLOCK", true));  // no handler reads it: the position stays after its header
  append(recording, softCycle("D1553", false));
  writeFile(dir.file("a.rec"), recording);
  ProgramResult plain = tarsel("a.rec");
  EXPECT_THAT(plain.err, Not(HasSubstr("PP")));
  ProgramResult r = tarsel("a.rec /postprocess //o //vv");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-i[a.rec:560]: PP 288...0\n"));
  // The decoder labels its lines with the position of the record's first block.
  EXPECT_THAT(r.err, HasSubstr("tarsel-E[a.rec:288]: PP: Missed SOFT end @0xB0 (expected at 0x118/0x120)\n"));
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 3u * (32 + 256));
}

TEST_F(Program, HistoryFilesOpenedAtTheEndFlushKeepTheSourceName) {
  writeFile(dir.file("a.rec"), softCycle("ZZBLOCK", false));  // only cycle: flushed at the end
  ProgramResult r = tarsel("a.rec /postprocess");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir.file("pp-a.rec.txt"))) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("pp-.txt")));
}

namespace {

struct RefusedLayout {
  const char* name;
  const char* json;                                // the /json value
  std::function<void(const TempDir&)> prepare;     // makes it
  const char* message;
};

const RefusedLayout refusedLayouts[] = {
    {"device", "/dev/zero", [](const TempDir&) {}, "tarsel-F: layout file /dev/zero is not a regular file\n"},
    {"fifo", "fifo.json", [](const TempDir& d) { ::mkfifo(d.file("fifo.json").c_str(), 0600); },
     "tarsel-F: layout file fifo.json is not a regular file\n"},
    {"folder", "folder.json", [](const TempDir& d) { std::filesystem::create_directory(d.file("folder.json")); },
     "tarsel-F: layout file folder.json is not a regular file\n"},
    {"huge", "huge.json", [](const TempDir& d) {
       std::ofstream(d.file("huge.json")).close();
       std::filesystem::resize_file(d.file("huge.json"), (16u << 20) + 1);
     }, "tarsel-F: layout file huge.json is larger than 16 MiB (16777217 bytes)\n"},
};

class LayoutFile : public Program, public ::testing::WithParamInterface<RefusedLayout> {};

}  // namespace

// Refused at once, before it is read: a FIFO would block, /dev/zero would never end.
TEST_P(LayoutFile, OtherThanASmallRegularFileIsRefused) {
  GetParam().prepare(dir);
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 1));
  ProgramResult r = tarsel("a.rec /json=" + std::string(GetParam().json));
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr(GetParam().message));
  EXPECT_FALSE(std::filesystem::exists(dir.file("a-cv.out")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFile, ::testing::ValuesIn(refusedLayouts),
                         [](const ::testing::TestParamInfo<RefusedLayout>& param) { return std::string(param.param.name); });

namespace {

// A source that is no regular file: a FIFO without a writer would block, a device never ends.
const RefusedLayout refusedSources[] = {
    {"device", "/dev/zero", [](const TempDir&) {}, "Source: /dev/zero: not a regular file\n"},
    {"fifo", "fifo.rec", [](const TempDir& d) { ::mkfifo(d.file("fifo.rec").c_str(), 0600); },
     "Source: fifo.rec: not a regular file\n"},
    {"folder", "folder.rec", [](const TempDir& d) { std::filesystem::create_directory(d.file("folder.rec")); },
     "Source: folder.rec: not a regular file\n"},
};

class SourceKind : public Program, public ::testing::WithParamInterface<RefusedLayout> {};

}  // namespace

TEST_P(SourceKind, OtherThanARegularFileIsRefusedAtOnce) {
  GetParam().prepare(dir);
  ProgramResult r = tarsel(std::string(GetParam().json));
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr(GetParam().message));
  EXPECT_THAT(r.err, HasSubstr("open source file"));
  EXPECT_THAT(r.err, Not(HasSubstr("not found!")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SourceKind, ::testing::ValuesIn(refusedSources),
                         [](const ::testing::TestParamInfo<RefusedLayout>& param) { return std::string(param.param.name); });

// A layout may name flows far larger than memory; only the ones the recording uses take any.
TEST_F(Program, MemoryFollowsTheFlowsARecordingUses) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  std::ofstream(dir.file("big.json"))
      << "{'flows':[{'name':'F-HDR','base':'0x80000000','size':'4K','pingpong':'0x1000000'},"
         "{'name':'BIG','base':'0x10000000','size':'3000M'},{'name':'HUGE','base':'0xC0000000','size':'1000M'}]}";
  Bytes recording;
  for (uint32_t c = 0; c < 3; ++c) append(recording, cycleBlocks(0x80000000 + (c % 2) * 0x1000000, 0x33, Bytes(4096, 1)));
  writeFile(dir.file("a.rec"), recording);
  const std::string limit = "ulimit -v 1000000 &&";  // 1 GB of address space
  ProgramResult small = tarsel("a.rec /json=big.json", limit);
  EXPECT_EQ(small.status, 0) << small.err;
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 3u * (32 + 4096));
  // A block for the 3000 MiB flow: the memory runs out, the records before it stay whole.
  append(recording, recorderBlock(0x10000000, 0x33));
  append(recording, cycleBlocks(0x81000000, 0x33, Bytes(4096, 1)));
  writeFile(dir.file("a.rec"), recording);
  ProgramResult out = tarsel("a.rec /json=big.json //o", limit);
  EXPECT_EQ(out.status, 1);
  EXPECT_THAT(out.err, HasSubstr("-F[a.rec:13072]: out of memory: flow storage of BIG (3145730048 bytes)\n"));
  EXPECT_THAT(out.err, Not(HasSubstr("terminate")));
  EXPECT_EQ(readFile(dir.file("a-cv.out")).size(), 2u * (32 + 4096));  // the third was pending
}

// An output that is one of the inputs ends the run before anything is written: the input
// stays as it was, the message names both files.
struct OutputClash {
  const char* name;
  const char* source;
  const char* link;  // a link created under this name to the source, or null
  const char* arguments;
  const char* output;
  const char* before = nullptr;  // a file of the recording written before the source, or null
};

class OutputIsInput : public Program, public ::testing::WithParamInterface<OutputClash> {};

TEST_P(OutputIsInput, EndsWithStatus1AndLeavesTheInputIntact) {
  const OutputClash& clash = GetParam();
  const Bytes recording = headerAndSignalBatches(1, 3);
  writeFile(dir.file(clash.source), recording);
  if (clash.before) writeFile(dir.file(clash.before), recording);
  if (clash.link) std::filesystem::create_symlink(clash.source, dir.file(clash.link));
  ProgramResult r = tarsel(clash.arguments);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr(std::string("output ") + clash.output + " is the input file " +
                               clash.source));
  EXPECT_EQ(readFile(dir.file(clash.source)), recording);
  // Nothing written under a temporary name (".<name>.XXXXXX") is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name[0] == '.' && name.find('.', 1) != std::string::npos) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, OutputIsInput,
    ::testing::Values(
        OutputClash{"SameName", "same.rec", nullptr, "same.rec /o=same.rec //o", "same.rec"},
        OutputClash{"DefaultNameLinksToSource", "a.rec", "a-cv.out", "a.rec //o", "a-cv.out"},
        OutputClash{"SourceIsHeaderSummary", "header_in.txt", nullptr,
                    "header_in.txt /hfw /o=x.out", "header_in.txt"},
        OutputClash{"TrackLinksToSource", "a.rec", "track-a-cv.out.gpx", "a.rec /gps //o",
                    "track-a-cv.out.gpx"},
        OutputClash{"TimerFileLinksToSource", "a.rec", "timer-a-cv.out.txt", "a.rec /examine=1 //o",
                    "timer-a-cv.out.txt"},
        OutputClash{"LaterFileOfTheSequence", "_19-05-17-10-30-00_2.rec", nullptr,
                    "_19-05-17-10-30-00_1.rec /concatenate /o=_19-05-17-10-30-00_2.rec //o",
                    "_19-05-17-10-30-00_2.rec", "_19-05-17-10-30-00_1.rec"}),
    [](const ::testing::TestParamInfo<OutputClash>& param) { return param.param.name; });

// The AESA timing and beam analysis: crafted timer blocks and AESA dumps, and a whole
// /examine run over a synthetic recording.
#include "support/test_outputs.h"
#include "postprocess/aesa_timing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/recording.h"
#include "support/run_program.h"
#include "support/test_support.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr size_t captureBytes = 32 << 10;
constexpr uint32_t marker = 0x5A5A5A5A, endMarker = 0xA5A5A5A5, notSet = 0xFFFFF;

void putWord(Bytes& bytes, size_t word, uint32_t value) { putU32(bytes, 4 * word, value); }

/// A valid timer block with table entries A and value B; all eight delays unset.
Bytes timerBlock(uint32_t entries, uint32_t b) {
  Bytes timer(8192, 0);
  putWord(timer, 0, 0x12345678);
  putWord(timer, 4, 0x54494D45);
  putWord(timer, 12, b << 16 | entries);
  for (size_t k = 32; k < 40; ++k) putWord(timer, k, notSet);
  return timer;
}

/// An "AESATX" capture: the command dump from byte 176, message bytes four to a word with
/// the first in the most significant byte.
class CommandDump {
 public:
  CommandDump() : copy_(captureBytes, 0) {}
  /// A beam command with its programmed value and six raw positions.
  CommandDump& beam(uint16_t value, std::array<int16_t, 6> positions = {},
                    uint32_t lengthWord = 0x001F028A, uint8_t code = 0x82) {
    std::vector<uint8_t> bytes(31, 0);
    bytes[0] = code;
    bytes[3] = uint8_t(value);
    bytes[4] = uint8_t(value >> 8);
    for (size_t k = 0; k < 6; ++k) {
      bytes[7 + 2 * k] = uint8_t(positions[k]);
      bytes[8 + 2 * k] = uint8_t(uint16_t(positions[k]) >> 8);
    }
    return command(lengthWord, bytes);
  }
  /// Any command: marker, length word, bytes.
  CommandDump& command(uint32_t lengthWord, const std::vector<uint8_t>& bytes) {
    word(marker);
    word(lengthWord);
    for (size_t at = 0; at < bytes.size(); at += 4) {
      uint32_t packed = 0;
      for (size_t j = 0; j < 4; ++j)
        packed |= uint32_t(at + j < bytes.size() ? bytes[at + j] : 0) << (8 * (3 - j));
      word(packed);
    }
    return *this;
  }
  CommandDump& word(uint32_t value) {
    putU32(copy_, next_, value);
    next_ += 4;
    return *this;
  }
  const Bytes& bytes() const { return copy_; }

 private:
  Bytes copy_;
  size_t next_ = 176;
};

/// An "AESARX" capture with payload words 3, 4, 7 and 8.
Bytes responseCopy(uint32_t w3, uint32_t w4, uint32_t w7, int32_t w8) {
  Bytes copy(captureBytes, 0);
  putU32(copy, 144 + 12, w3);
  putU32(copy, 144 + 16, w4);
  putU32(copy, 144 + 28, w7);
  putU32(copy, 144 + 32, uint32_t(w8));
  return copy;
}

/// An "EXTLINK" capture with one synthesizer message for `values` (as programmed values).
Bytes extLinkCopy(const std::vector<uint32_t>& values, uint32_t kind = 0xA0A1) {
  Bytes copy(captureBytes, 0);
  size_t word = 8;
  putWord(copy, word++, marker);
  putWord(copy, word++, kind);
  putWord(copy, word++, 0);
  putWord(copy, word++, uint32_t(values.size()));
  for (uint32_t value : values) putWord(copy, word++, (value + 3920) * 250000u);
  putWord(copy, word, endMarker);
  return copy;
}

AesaBytes view(const Bytes& bytes) { return AesaBytes(bytes.data(), bytes.size()); }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

/// What follows "__FRQ;" in a timing line.
std::string frequencies(const std::string& line) {
  size_t at = line.find("__FRQ;");
  return at == std::string::npos ? "" : line.substr(at + 6);
}

class AesaTiming : public ::testing::Test {
 protected:
  void TearDown() override { msg::set_context(nullptr); }
  void analyse(const Bytes& timer, const Bytes* tx = nullptr, const Bytes* rx = nullptr,
               const Bytes* ext = nullptr) {
    auto optional = [](const Bytes* b) { return b ? view(*b) : AesaBytes(); };
    analysis_.analyseTimer(view(timer), optional(tx), optional(rx), optional(ext), context_);
  }
  std::vector<std::string> timerLines() {
    analysis_.flush();
    return linesOf(slurp(timerName));
  }
  std::vector<std::string> antPosLines() {
    analysis_.flush();
    return linesOf(slurp(antPosName));
  }
  /// Messages after the "Timer blob found!" line.
  std::string warnings() const {
    const std::string found = "-S: Timer blob found!\n";
    size_t at = messages_.all.find(found);
    return at == std::string::npos ? messages_.all : messages_.all.substr(at + found.size());
  }

  const std::string timerName = "timer-d-cv.out.txt", antPosName = "ant_pos-d-cv.out.txt";
  WorkInTempDir dir_;
  CapturedMessages messages_;
  std::string destination_ = "d-cv.out", lastSource_ = "last.rec";
  AesaTimingAnalysis analysis_{destination_, lastSource_, testOutputs()};
  AesaTimerContext context_;
};

TEST_F(AesaTiming, CraftedBlocksGiveTheExactTimingAndBeamPositionLines) {
  msg::set_context("rec01.dat");
  context_.batch = 1234;
  context_.timeText = "2022-05-17T10:30:30";
  context_.modeName = "RWS";
  context_.header = {5000, 4990, {0.5f, -0.25f}, {1.5f, 2.5f}, {3.25f, -3.25f}, 7000, {0.125f, 0.75f}};
  Bytes timer = timerBlock(3, 2);  // N = 2 programmings, E = 3
  putWord(timer, 20, 77);
  putWord(timer, 32, 100);
  putWord(timer, 33, 50);  // D
  for (size_t k = 0; k < 8; ++k) {
    putWord(timer, 192 + k, uint32_t(k + 1));
    putWord(timer, 320 + k, uint32_t(k));
    putWord(timer, 328 + k, uint32_t(10 + k));
  }
  putWord(timer, 1280, 1000);
  putWord(timer, 1281, 1047);  // 3 short of the minimum delay
  putWord(timer, 1282, 1100);
  CommandDump tx;
  tx.beam(600, {16384, -32768, 8192, 0, -16384, 32767}, 0x001F028A)
      .command(0x00040188, {0x88, 0, 0, 0})
      .beam(700, {}, 0x001F028B)
      .command(0x00040188, {0x88, 0, 1, 0})
      .beam(800)
      .command(0x00040188, {0x88, 0, 2, 0})
      .word(endMarker);
  Bytes rx = responseCopy(30, 40, 70, -1);
  Bytes ext = extLinkCopy({600, 701});
  analyse(timer, &tx.bytes(), &rx, &ext);

  const std::string expected =
      "                       rec01.dat;2022-05-17T10:30:30;    1234;  RWS;"
      " OK;    30;    70;    40;  -1;   -3   3; 2;  77;"
      "__AESADLY;    100;     50;1048575;1048575;1048575;1048575;1048575;1048575;"
      "__ANTRXN;02;  10;12;  11;22;  12;32;  13;42;  14;52;  15;62;  16;72;  17;"
      "__CFSYNC;      1;      2;      3;      4;      5;      6;      7;      8;"
      "__PRT;   1000;   1047;   1100;"
      "__POS;    0.500008;   -1.000015;"
      "__FRQ;=; 600; 600;!; 700; 701;0";
  EXPECT_EQ(timerLines(), std::vector<std::string>{expected});
  EXPECT_EQ(antPosLines(),
            std::vector<std::string>{
                "  600;  5000;  4990;_NAV;    0.500000;   -0.250000;_ANT;    1.500000;    2.500000;"
                "_UV;    3.250000;   -3.250000;__PP;  7000;    0.125000;    0.750000;"
                "__AESA;    0.500008;   -1.000015;    0.250004;    0.000000;   -0.500008;    0.999985;"});
  EXPECT_EQ(messages_.all,
            "-S[rec01.dat]: Timer blob found!\n"
            "-W[rec01.dat]: (1) AESA prog too late: 1047 < 50 + 1000\n"
            "-W[rec01.dat]: (1) AESA/SYNT FRQ Err 1: [1]->700 != 701\n");
  EXPECT_EQ(analysis_.nextLineNumber(), 2u);
}

TEST_F(AesaTiming, WithoutCapturesTheFieldsAreZeroAndNoBeamLineIsWritten) {
  context_.batch = 7;
  analyse(timerBlock(0, 0));  // A = 0, B = 0: no programmings
  EXPECT_EQ(timerLines(),
            std::vector<std::string>{
                "                        last.rec;           ;       7;    ?;"
                "   ;     0;     0;     0;   0;    0   0; 0;   0;"
                "__AESADLY;1048575;1048575;1048575;1048575;1048575;1048575;1048575;1048575;"
                "__ANTRXN;02;   0;02;   0;02;   0;02;   0;02;   0;02;   0;02;   0;02;   0;"
                "__CFSYNC;      0;      0;      0;      0;      0;      0;      0;      0;"
                "__PRT;      0;__FRQ;0"});
  EXPECT_TRUE(std::filesystem::exists(antPosName));
  EXPECT_EQ(antPosLines(), std::vector<std::string>{});
  EXPECT_EQ(messages_.all, "-S: Timer blob found!\n");
}

TEST_F(AesaTiming, InvalidAndSingleEntryBlocksWriteNoLineAndUseNoNumber) {
  Bytes bad = timerBlock(3, 0);
  putWord(bad, 0, 1);
  analyse(bad);
  EXPECT_EQ(messages_.all, "-W: Timer blob error: 0x1, 0x54494D45\n");
  EXPECT_FALSE(std::filesystem::exists(timerName));

  analyse(timerBlock(1, 0));  // the first valid block opens the files, but A = 1 stops
  EXPECT_TRUE(std::filesystem::exists(timerName));
  EXPECT_EQ(timerLines().size(), 0u);
  EXPECT_EQ(analysis_.nextLineNumber(), 1u);

  analyse(timerBlock(0, 0));
  analyse(timerBlock(0, 0));
  EXPECT_EQ(timerLines().size(), 2u);
  EXPECT_EQ(analysis_.nextLineNumber(), 3u);
  // The files are announced once.
  EXPECT_EQ(messages_.all, "-W: Timer blob error: 0x1, 0x54494D45\n-S: Timer blob found!\n");
}

TEST_F(AesaTiming, LateProgrammingsAreCheckedOnlyWhenTheMinimumDelayIsSet) {
  Bytes timer = timerBlock(4, 1);  // B below 2: N = A = 4
  putWord(timer, 1280, 500);
  const uint32_t times[4] = {560, 540, 600, 549};
  for (size_t k = 0; k < 4; ++k) putWord(timer, 1281 + k, times[k]);
  Bytes rx = responseCopy(0, 0, 0, -5);
  analyse(timer, nullptr, &rx);  // D unset: slack 0, no warning
  EXPECT_THAT(timerLines()[0], HasSubstr(" OK;     0;     0;     0;  -5;    0   4; 1;"));

  putWord(timer, 33, 50);
  analyse(timer, nullptr, &rx);
  EXPECT_THAT(timerLines()[1], HasSubstr(" OK;     0;     0;     0;  -5;  -10   4; 1;"));
  EXPECT_THAT(timerLines()[1], HasSubstr("__PRT;    500;    560;    540;    600;    549;__FRQ;0"));
  EXPECT_EQ(warnings(), "-W: (2) AESA prog too late: 540 < 50 + 500\n"
                        "-W: (2) AESA prog too late: 549 < 50 + 500\n");
}

TEST_F(AesaTiming, ZeroEntriesWithBOfTwoProgramsTheFullTable) {
  Bytes timer = timerBlock(0, 2);  // 0 - 1 wraps and is limited to 127
  for (size_t k = 1; k <= 127; ++k) putWord(timer, 1280 + k, uint32_t(k));
  putWord(timer, 1408, 999);  // the word after the table is never read
  analyse(timer);
  std::string line = timerLines()[0];
  EXPECT_THAT(line, HasSubstr("__PRT;      0;      1;      2;"));
  EXPECT_THAT(line, HasSubstr("    126;    127;__FRQ;0"));
}

TEST_F(AesaTiming, PriErrorMarksTheLineAndReceiveCountersAreDifferences) {
  Bytes first = responseCopy(100, 200, 300, -1);
  Bytes second = responseCopy(105, 190, 330, 5);  // word 4 went back: unsigned difference
  analyse(timerBlock(0, 0), nullptr, &first);
  analyse(timerBlock(0, 0), nullptr, &second);
  std::vector<std::string> lines = timerLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("    ?; OK;   100;   300;   200;  -1;    0   0;"));
  EXPECT_THAT(lines[1], HasSubstr("    ?;ERR;     5;    30;4294967286;   5;    0   0;"));
  EXPECT_EQ(warnings(), "-W: (2) AESA PRI Error: 5\n");
}

TEST_F(AesaTiming, MarkerCountAgainstExpectedProgrammings) {
  // All delays unset: d = 0, so E = 0 whatever A says; two markers make one programming.
  CommandDump tx;
  tx.command(0x00040188, {0xC3, 0, 0, 0}).command(0x00040188, {0x01, 0, 0, 0}).word(endMarker);
  analyse(timerBlock(6, 0), &tx.bytes());
  EXPECT_EQ(warnings(), "-W: (1) Wrong AESA progr: 0 -> 1 (2), cmd=0x0\n");

  // One set delay: still E = d = 1; the last beam command's code is named.
  Bytes timer = timerBlock(6, 0);
  putWord(timer, 33, 10);
  CommandDump beams;
  beams.beam(1, {}, 0x001F028A, 0x82).beam(2, {}, 0x001F028B, 0x82).beam(3).beam(4, {}, 0x001F028B, 0x86);
  beams.word(endMarker);
  analyse(timer, &beams.bytes());
  EXPECT_THAT(warnings(), HasSubstr("-W: (2) Wrong AESA progr: 1 -> 2 (4), cmd=0x86\n"));

  // Two set delays: E = A.
  putWord(timer, 32, 10);
  analyse(timer, &beams.bytes());
  EXPECT_THAT(warnings(), HasSubstr("-W: (3) Wrong AESA progr: 6 -> 2 (4), cmd=0x86\n"));
}

TEST_F(AesaTiming, OnlyTheLengthWordSelectsBeamCommandsAndEveryWordIsAMarkerCandidate) {
  CommandDump tx;
  tx.beam(111, {}, 0x001F0282)   // a beam code with another length word is not taken
      .beam(222, {}, 0x001F028B, 0x11)  // any code with a beam length word is
      .command(0x00080188, {0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 0})  // a marker inside the bytes
      .word(endMarker)
      .beam(333);  // after the end word
  Bytes ext = extLinkCopy({});
  analyse(timerBlock(0, 0), &tx.bytes(), nullptr, &ext);
  EXPECT_EQ(frequencies(timerLines()[0]), "!; 222;   0;0");
  EXPECT_EQ(warnings(), "-W: (1) Wrong AESA progr: 0 -> 2 (4), cmd=0x11\n"
                        "-W: (1) AESA/SYNT FRQ Err 1: [0]->222 != 0\n");
}

TEST_F(AesaTiming, FiveBeamsAgainstFourOrFiveSynthesizerValues) {
  Bytes timer = timerBlock(5, 0);  // two delays set (E = A = 5); D = 0: never late
  putWord(timer, 32, 1);
  putWord(timer, 33, 0);
  CommandDump tx;
  for (uint16_t v : {10, 20, 30, 40, 50}) tx.beam(v).command(0x00040188, {0x88, 0, 0, 0});
  tx.word(endMarker);
  Bytes four = extLinkCopy({10, 20, 30, 40});
  analyse(timer, &tx.bytes(), nullptr, &four);
  EXPECT_EQ(frequencies(timerLines()[0]), "=;  10;  10;=;  20;  20;=;  30;  30;=;  40;  40;0");
  EXPECT_EQ(warnings(), "");

  Bytes five = extLinkCopy({10, 20, 30, 40, 50}, 0x12A2);  // kind told by its lowest byte
  analyse(timer, &tx.bytes(), nullptr, &five);
  EXPECT_EQ(frequencies(timerLines()[1]),
            "=;  10;  10;=;  20;  20;=;  30;  30;=;  40;  40;=;  50;  50;0");
  EXPECT_EQ(warnings(), "-W: (2) AESA/SYNT num frq error: 5 != 5 +1\n");
}

TEST_F(AesaTiming, WithoutLinkDataBothBeamsAreComparedWithZero) {
  CommandDump tx;
  tx.beam(300).beam(400).word(endMarker);
  analyse(timerBlock(0, 0), &tx.bytes());
  EXPECT_EQ(frequencies(timerLines()[0]), "!; 300;   0;!; 400;   0;0");
  EXPECT_EQ(warnings(), "-W: (1) Wrong AESA progr: 0 -> 1 (2), cmd=0x82\n"
                        "-W: (1) AESA/SYNT num frq error: 2 != 0 +1\n"
                        "-W: (1) AESA/SYNT FRQ Err 2: [0]->300 != 0\n");
}

TEST_F(AesaTiming, SynthesizerMessagesOutsideTheirCountRangeAreIgnored) {
  Bytes ext = extLinkCopy({});
  size_t word = 8;
  for (uint32_t count : {0u, 128u, 1u}) {
    putWord(ext, word, marker);
    putWord(ext, word + 1, 0xA0A2);
    putWord(ext, word + 3, count);
    putWord(ext, word + 4, (77 + 3920) * 250000u);
    word += 5;
  }
  putWord(ext, word, endMarker);
  CommandDump noBeams;
  noBeams.word(endMarker);
  analyse(timerBlock(0, 0), &noBeams.bytes(), nullptr, &ext);
  EXPECT_EQ(frequencies(timerLines()[0]), "!;   0;  77;0");
}

TEST_F(AesaTiming, BeamPositionsStayFromAnEarlierBlockWhenADumpHasNoBeam) {
  CommandDump withBeam, withoutBeam;
  withBeam.beam(5, {16384, 8192, 0, 0, 0, 0}).word(endMarker);
  withoutBeam.word(endMarker);
  analyse(timerBlock(0, 0), &withBeam.bytes());
  analyse(timerBlock(0, 0), &withoutBeam.bytes());
  std::vector<std::string> timer = timerLines(), antPos = antPosLines();
  ASSERT_EQ(antPos.size(), 2u);
  EXPECT_THAT(timer[1], HasSubstr("__POS;    0.500008;    0.250004;__FRQ;0"));
  // The programmed values are cleared for every block, the positions are not.
  EXPECT_EQ(antPos[1].substr(0, 6), "    0;");
  EXPECT_THAT(antPos[1], HasSubstr("__AESA;    0.500008;    0.250004;"));
}

TEST_F(AesaTiming, ShortBuffersReadAsZerosBeyondTheirEnd) {
  Bytes timer(20, 0);  // magic and "EMIT" only
  putWord(timer, 0, 0x12345678);
  putWord(timer, 4, 0x54494D45);
  Bytes tx(200, 0);  // a beam command cut after its first 16 message bytes
  putWord(tx, 44, marker);
  putWord(tx, 45, 0x001F028A);
  putWord(tx, 46, 0x82000034);  // bytes 0-3: code, 0, 0, value low
  putWord(tx, 47, 0x12000000);  // bytes 4-7: value high
  putWord(tx, 48, 0x40000000);  // bytes 8-11: byte 8 is the high byte of position 1
  Bytes rx(160, 0);  // payload word 3 is the last one there
  rx[144 + 12] = 9;
  Bytes ext(44, 0);  // a message whose count word lies past the end
  putWord(ext, 8, marker);
  putWord(ext, 9, 0xA0A1);
  analyse(timer, &tx, &rx, &ext);
  std::string line = timerLines()[0];
  EXPECT_THAT(line, HasSubstr("    ?;ERR;     9;     0;     0;   0;    0   0; 0;   0;"));
  EXPECT_THAT(line, HasSubstr("__POS;    0.500008;    0.000000;__FRQ;!;4660;   0;0"));
}

// The first timer of a run meets the synthesizer's link data before any command block has been
// captured: nothing was programmed that the frequencies could be held to.
TEST_F(AesaTiming, WithoutACommandBlockNoFrequencyIsCompared) {
  Bytes ext = extLinkCopy({600, 697, 794});
  analyse(timerBlock(0, 0), nullptr, nullptr, &ext);
  EXPECT_EQ(warnings(), "");
  EXPECT_EQ(frequencies(timerLines()[0]), "0");
  CommandDump tx;
  tx.beam(600).beam(697).beam(794).beam(891).word(endMarker);
  analyse(timerBlock(0, 0), &tx.bytes(), nullptr, &ext);
  EXPECT_EQ(frequencies(timerLines()[1]), "=; 600; 600;=; 697; 697;=; 794; 794;0");
}

TEST(AesaTimingFiles, LieBesideADestinationInAFolder) {
  WorkInTempDir dir;
  CapturedMessages messages;
  std::filesystem::create_directory("out");
  std::string destination = "out/d.bin", last = "last.rec";
  AesaTimingAnalysis analysis{destination, last, testOutputs()};
  analysis.analyseTimer(view(timerBlock(0, 0)), AesaBytes(), AesaBytes(), AesaBytes(), AesaTimerContext{});
  analysis.flush();
  EXPECT_TRUE(std::filesystem::exists("out/timer-d.bin.txt"));
  EXPECT_TRUE(std::filesystem::exists("out/ant_pos-d.bin.txt"));
  EXPECT_EQ(messages.all.find("-E"), std::string::npos) << messages.all;
}

TEST_F(AesaTiming, OverlappingSynthesizerMessagesKeepAtMostTheTableSize) {
  Bytes ext(captureBytes, 0);
  for (size_t word = 8; word + 4 <= 1024; word += 4) {
    putWord(ext, word, marker);
    putWord(ext, word + 1, 0xA0A1);
    putWord(ext, word + 3, 127);  // each message's values run over the next messages
  }
  CommandDump noBeams;
  noBeams.word(endMarker);
  analyse(timerBlock(0, 0), &noBeams.bytes(), nullptr, &ext);
  EXPECT_THAT(warnings(), HasSubstr("-W: (1) AESA/SYNT num frq error: 0 != 2048 +1\n"));
  const uint32_t markerAsValue = marker / 250000 - 3920;
  EXPECT_THAT(warnings(), HasSubstr("-W: (1) AESA/SYNT FRQ Err 2048: [0]->0 != " +
                                    std::to_string(markerAsValue) + "\n"));
  std::string line = timerLines()[0];
  EXPECT_EQ(std::count(line.begin(), line.end(), '!'), 2048);
}

TEST_F(AesaTiming, AFileThatCannotBeCreatedIsReportedOnceAndTheOtherStillWritten) {
  std::filesystem::create_directory(timerName);  // takes the timing file's name
  CommandDump tx;
  tx.beam(42).word(endMarker);
  analyse(timerBlock(0, 0), &tx.bytes());
  analyse(timerBlock(0, 0), &tx.bytes());
  EXPECT_EQ(antPosLines().size(), 2u);
  EXPECT_EQ(occurrences(messages_.all, "-E: "), 1u) << messages_.all;
  EXPECT_THAT(messages_.all, HasSubstr("-E: opening file timer-d-cv.out.txt -- "));
  EXPECT_EQ(analysis_.nextLineNumber(), 3u);
}

// The whole path: tarsel /examine=1 over a recording whose timer, AESA and link blocks agree.
TEST(AesaTimingProgram, ExamineWritesTimingAndBeamPositionFilesWithoutDeviations) {
  TempDir dir;
  ProgramResult synth = runProgram(dir, tarselPath("tarsel-synth"),
                                   "--batches 6 --beams 4 --no-bulky --quiet");
  ASSERT_EQ(synth.status, 0) << synth.err;
  ProgramResult r = runProgram(dir, tarselPath(), "_19-05-17-10-30-00_1.rec /examine=1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("\ntarsel-S\\[_19-05-17-10-30-00_1\\.rec:\\d+\\]: Timer blob found!\n")))
      << r.err;
  EXPECT_THAT(r.err, Not(HasSubstr("Timer blob error")));
  // A clean flight analyses clean, its first timer (before any command block) included.
  EXPECT_FALSE(std::regex_search(r.err, std::regex("\\(\\d+\\) (AESA|Wrong)"))) << r.err;

  std::vector<std::string> timer = linesOf(slurp(dir.file("timer-_19-05-17-10-30-00_1-cv.out.txt")));
  std::vector<std::string> antPos = linesOf(slurp(dir.file("ant_pos-_19-05-17-10-30-00_1-cv.out.txt")));
  ASSERT_EQ(timer.size(), 6u);
  // The first timer block may come before the first command block was captured.
  EXPECT_GE(antPos.size(), 5u);
  const std::regex timerLine(
      " *_19-05-17-10-30-00_1\\.rec; {11}; *10\\d\\d;    \\?; OK;.*   4; 2;.*__AESADLY;.*__FRQ;.*0");
  const std::regex agreed("__POS;.*__FRQ;(=; *\\d+; *\\d+;){3}0");
  for (size_t i = 0; i < timer.size(); ++i) {
    EXPECT_TRUE(std::regex_match(timer[i], timerLine)) << timer[i];
    if (i == 0) {
      EXPECT_EQ(frequencies(timer[i]), "0") << "nothing to compare without the command block";
      continue;
    }
    size_t position = timer[i].find("__POS;");
    ASSERT_NE(position, std::string::npos) << timer[i];
    EXPECT_TRUE(std::regex_match(timer[i].substr(position), agreed)) << timer[i];
  }
  const std::regex beamLine(
      " *\\d+; *\\d+; *\\d+;_NAV;( *-?\\d+\\.\\d{6};){2}_ANT;( *-?\\d+\\.\\d{6};){2}"
      "_UV;( *-?\\d+\\.\\d{6};){2}__PP; *\\d+;( *-?\\d+\\.\\d{6};){2}__AESA;( *-?\\d+\\.\\d{6};){6}");
  for (const std::string& line : antPos) EXPECT_TRUE(std::regex_match(line, beamLine)) << line;
}

}  // namespace

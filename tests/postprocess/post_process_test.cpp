// Post-process tables: handlers fed through a real decoder, the exact history and AESA lines,
// the line check, standby, the SAR header fix, the block statistics and the end report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_outputs.h"
#include "postprocess/pp_records.h"

using ::testing::HasSubstr;
using ::testing::Not;
using namespace pp_test;

namespace {

const std::string headerLine =
    "file                                            ;time    ;Batch    ;TTAG     ;Mode;Mode;"
    "DSP-;Mode;STBY;Phase    ;SubPhase ;ResIdIn  ;A-Upd    ;A-St;A-Err    ;A-Ok     ;A-COM    ;"
    "AStr;Scal;Scal;Rad ;WF  ;WF  ;SAR-;Health    ;Heal;Det ;STT ;TrueHead    ;Ptaz        ;"
    "BatoAlt     ;Lat         ;Lon         ;-";
const std::string context = "rec01.dat                                       ;";

std::string join(const std::vector<std::string>& cells) {
  std::string text;
  for (const auto& cell : cells) text += cell;
  return text;
}

Bytes sblock(const std::string& name, const Bytes& payload) {
  return soft_test::sblock(name, payload);
}

// Column numbers (from 0) of the items the tests read back.
enum Column { timeColumn = 0, modeNameColumn = 6, scaleNameColumn = 19, waveformNameColumn = 22 };

class HistoryTest : public PostProcessTest {
 protected:
  std::string cellText(Column column) { return state.historyItems()[column].valueText(); }
};

Bus seaBus() {
  Bus bus;
  bus.time = 18000;  // 36000 s
  bus.mode = 0x6000;  // SEA1
  bus.heading = 16384;
  bus.azimuth = -8192;
  bus.altitude = 2500;
  bus.latitude = 0x08000000;
  bus.longitude = -0x04000000;
  return bus;
}

}  // namespace

TEST_F(HistoryTest, FirstCheckOpensBothFilesWithTheHeaderLineAndWritesExactLines) {
  setUp(0);
  Status status{1000, 1048576, 8, 1, 2, 0x01000000, 3};
  decodeBlocks({sblock("D1553", d1553(seaBus())), sblock("CDPSTS", cdpsts(status))});

  // Leading cells up to "AStr", shared by both files.
  std::vector<std::string> lead1 = {context, "10:00:00;", "        0;", "        0;", "SEA1;",
                                    "   0;", "   0;", "    ;", "    ;", "        0;",
                                    "        0;", "        0;", "        0;", "   0;",
                                    "        0;", "        0;", "        0;", "    ;"};
  std::vector<std::string> tail1 = {"   0;", "    ;", "   0;", "   0;", "    ;", "   0;",
                                    "0x00000000;", "    ;", "   0;", "   0;", "      90.000;",
                                    "     -45.000;", "    3048.000;", "   11.249993;",
                                    "   -5.624997;"};
  std::vector<std::string> lead2 = lead1;
  lead2[2] = "     1000;";
  lead2[3] = "  1048576;";
  lead2[5] = "   8;";
  lead2[7] = "sea1;";
  std::vector<std::string> tail2 = tail1;
  tail2[2] = "   1;";
  tail2[3] = "   2;";
  tail2[4] = "mprf;";
  tail2[6] = "0x01000000;";
  tail2[7] = "COM ;";
  tail2[8] = "   3;";

  auto lines = historyLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], headerLine);
  EXPECT_EQ(lines[1], join(lead1) + join(tail1) + "0");
  EXPECT_EQ(lines[2], join(lead2) + join(tail2) + "0");
  auto aesaLines = this->aesaLines();
  ASSERT_EQ(aesaLines.size(), 3u);
  EXPECT_EQ(aesaLines[0], headerLine);
  EXPECT_EQ(aesaLines[1], join(lead1) + "0");
  EXPECT_EQ(aesaLines[2], join(lead2) + "0");
  // The second line changed Mode, Rad, WF and Health at once: only the first is reported.
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: Changed: Mode1553 = SEA1\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: Changed: Mode =    8\n"));
  EXPECT_THAT(captured.err, Not(HasSubstr("Changed: Rad")));
  EXPECT_EQ(state.historyFileName(), "pp-rec01.dat.txt");

  // The same status again changes nothing: no message and no line.
  captured.err.clear();
  decodeBlocks({sblock("CDPSTS", cdpsts(status))});
  EXPECT_THAT(captured.err, Not(HasSubstr("Changed")));
  EXPECT_EQ(historyLines().size(), 3u);
}

TEST_F(HistoryTest, LevelTwoWritesAPeriodicLineByTimeTagOrBusTime) {
  setUp(2);
  Status status;
  decodeBlocks({sblock("D1553", d1553(Bus{})), sblock("CDPSTS", cdpsts(status))});
  ASSERT_EQ(historyLines().size(), 2u);  // header and the "Mode1553" change
  status.tag = 31249;
  decodeBlocks({sblock("CDPSTS", cdpsts(status))});
  EXPECT_EQ(historyLines().size(), 2u);
  status.tag = 31250;  // two seconds of 64-microsecond ticks
  decodeBlocks({sblock("CDPSTS", cdpsts(status))});
  ASSERT_EQ(historyLines().size(), 3u);
  EXPECT_THAT(historyLines()[2], HasSubstr(";    31250;"));
  Bus later;
  later.time = 1;  // one 2-second unit
  decodeBlocks({sblock("D1553", d1553(later))});
  EXPECT_EQ(historyLines().size(), 3u);  // the hook ran before the bus time moved
  decodeBlocks({sblock("CDPSTS", cdpsts(status))});
  ASSERT_EQ(historyLines().size(), 4u);
  EXPECT_THAT(historyLines()[3], HasSubstr(context + "00:00:02;"));
}

TEST_F(HistoryTest, DetectionsAddUpBetweenLinesAndShowZeroOnALineWithoutStatus) {
  setUp(0);
  Status first{.detections = 2};
  Status second{.mode = 5, .detections = 3};
  decodeBlocks({sblock("D1553", d1553(Bus{})), sblock("CDPSTS", cdpsts(first)),
                sblock("CDPSTS", cdpsts(second))});
  Bus vs;
  vs.mode = 0x1000;
  decodeBlocks({sblock("D1553", d1553(vs)), sblock("D1553", d1553(vs))});
  auto lines = historyLines();
  ASSERT_EQ(lines.size(), 4u);
  // "Det" is the 27th cell after the context; "STT" follows it.
  auto detAndStt = [](const std::string& line) {
    size_t at = line.find("0x00000000;    ;");
    return line.substr(at + 16, 10);
  };
  EXPECT_EQ(detAndStt(lines[1]), "   0;   0;");
  EXPECT_EQ(detAndStt(lines[2]), "   5;   0;");
  EXPECT_EQ(detAndStt(lines[3]), "   0;   0;");
}

TEST_F(HistoryTest, AesaFileShowsTheLatestCommandsAndResponsesOnlyOnTheNextLine) {
  setUp(0);
  // Commands: a BEAM of 31 bytes and a CTISTS of 4, message bytes four to a word.
  Bytes tx(8224, 0);
  auto pack = [](Bytes& dump, size_t at, const std::vector<uint8_t>& bytes) {
    for (size_t k = 0; 4 * k < bytes.size(); ++k) {
      uint32_t word = 0;
      for (size_t j = 0; j < 4 && 4 * k + j < bytes.size(); ++j)
        word |= uint32_t(bytes[4 * k + j]) << (24 - 8 * j);
      putU32(dump, at + 4 * k, word);
    }
    return at + 4 * ((bytes.size() + 3) / 4);
  };
  std::vector<uint8_t> beam = {0x82, 0x03, 7,    0x34, 0x12, 100,  0,    0x00, 0x80, 0x00, 0x40,
                               0,    0,    0,    0,    0xF4, 0x01, 9,    0xE8, 0x03, 11,   0x00,
                               0xC0, 0,    0,    0xC4, 0x09, 15,   0x60, 0xEA, 17};
  size_t at = 32;
  putU32(tx, at, 0x5A5A5A5A);
  putU32(tx, at + 4, 31u << 16);
  at = pack(tx, at + 8, beam);
  putU32(tx, at, 0x5A5A5A5A);
  putU32(tx, at + 4, 4u << 16);
  pack(tx, at + 8, {0x01, 0x85, 0, 0});
  // Responses: a CTISTS with status bytes AB 02 00 FE, then a CRC error.
  Bytes rx(4260, 0);
  putU32(rx, 0, 7);
  putU32(rx, 4, 3);
  at = 76;
  putU32(rx, at, 0x5A5A5A5A);
  at = pack(rx, at + 4, {0x70, 0x02, 0xAB, 0x02, 0x00, 0xFE});
  putU32(rx, at, 6u << 16);
  putU32(rx, at + 4, 0x5A5A5A5A);
  at = pack(rx, at + 8, {0x62, 0x81});
  putU32(rx, at, 2u << 16 | 1);
  putU32(rx, at + 4, 0xA5A5A5A5);

  decodeBlocks({sblock("D1553", d1553(Bus{})), sblock("AESATX", tx), sblock("AESARX", rx),
                sblock("CDPSTS", cdpsts(Status{.mode = 1}))});

  auto lines = aesaLines();
  ASSERT_EQ(lines.size(), 4u);
  std::string lead = join({context, "00:00:00;", "        0;", "        0;", "RWS ;", "   0;",
                           "   0;", "    ;", "    ;", "        0;", "        0;", "        0;",
                           "        7;", "   3;", "        0;", "        1;", "        2;",
                           "CRC ;"});
  std::string commands =
      ">>>  2;0x82;0;  3;   0;BEAM        ;7;  4660;   100;-1.000015; 0.500008; 0.000000; "
      "0.000000;   500;  9;  1000; 11;-0.500008; 0.000000;  2500; 15; 60000; 17;>;"
      "0x01;1;  5;   0;CTISTS      ;>;"
      "0x00;0;  0;   0;            ;>;0x00;0;  0;   0;            ;>;";
  std::string responses =
      "<<<  2;0x70;0;  2;   0;CTISTS      ;AB;02;00;-2;0x62;1;  1;   2;RFIFSTS     ;<;";
  EXPECT_EQ(lines[2], lead + commands + responses + "0");
  EXPECT_THAT(lines[1], Not(HasSubstr(">>>")));  // printed before the commands were decoded
  EXPECT_THAT(lines[3], Not(HasSubstr(">>>")));  // the detail is shown once
  EXPECT_THAT(lines[3], Not(HasSubstr("<<<")));
  for (const auto& line : historyLines()) {
    EXPECT_THAT(line, Not(HasSubstr(">>>")));
    EXPECT_THAT(line, Not(HasSubstr("<<<")));
  }
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: Changed: A-State =    3\n"));
}

TEST_F(HistoryTest, HeaderCopyExtensionsSetStandbyScaleAndSarWaveformBeforeTheHeaderWords) {
  setUp(11);
  Bytes sarr(268, 0);
  putU32(sarr, 0, 5);
  decodeBlocks({dspHeaderBlock({{24, 1005}, {26, 16}, {27, 32}, {33, 4}, {41, 2}, {42, 1},
                                {43, 77}},
                               {{"CMPC", compression(4, 1, 0)}, {"SARR", sarr}})});
  EXPECT_TRUE(state.standby());
  EXPECT_EQ(state.firstDspBatch(), 1005u);
  EXPECT_EQ(wordOf(state.lastHeader().data(), 27), 32u);
  auto lines = historyLines();
  ASSERT_EQ(lines.size(), 3u);
  // Lines printed from inside the header still show the earlier DSP-Mode.
  EXPECT_THAT(lines[1], HasSubstr(";   0;   0;    ;STBY;        0;"));
  EXPECT_THAT(lines[1], HasSubstr(";   4;80NM;"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: Changed: STBY = STBY\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: Changed: SAR-WF =    5\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: DSPHDR 1005: Expected signal: [16,32]\n"));
  // The next check sees the header words.
  decodeBlocks({sblock("CDPSTS", cdpsts(Status{}))});
  EXPECT_THAT(captured.err, HasSubstr("Changed: DSP-Mode =    4\n"));
  EXPECT_THAT(historyLines().back(), HasSubstr(";   0;   4;    ;STBY;        2;        1;       77;"));

  EXPECT_EQ(report(),
            "tarsel-I: Postprocess                     : 4\n"
            "tarsel-I:   EIF:CDPSTS                      : 1\n"
            "tarsel-I:   EIF:DSPHDRIN                    : 1\n"
            "tarsel-I:   EIF:EXT CMPC                    : 1\n"
            "tarsel-I:   EIF:EXT SARR                    : 1\n"
            "tarsel-I:   EIF:HDR                         : 1\n");
}

TEST_F(HistoryTest, StandbyFollowsTheRecordOrTheBusModeBitAndSilencesDecoderErrors) {
  setUp(-1);
  auto header = [](uint32_t standby, uint32_t radiating) {
    return dspHeaderBlock({}, {{"CMPC", compression(1, standby, radiating)}});
  };
  Bytes damaged = softRecord({sblock("X", Bytes(16, 0))});
  damaged[damaged.size() - 1] = 0;  // end marker broken

  decodeBlocks({header(0, 1)});
  EXPECT_FALSE(state.standby());
  EXPECT_STREQ(state.historyItems()[7].valueText(), "RAD ");
  decodeBlocks({header(1, 1)});
  EXPECT_TRUE(state.standby());
  EXPECT_STREQ(state.historyItems()[7].valueText(), "STBY");
  captured.err.clear();
  decode(damaged);
  EXPECT_THAT(captured.err, Not(HasSubstr("Missed SOFT end")));  // E dropped in standby
  decodeBlocks({header(0, 0)});
  EXPECT_FALSE(state.standby());
  EXPECT_STREQ(state.historyItems()[7].valueText(), "SIL ");
  captured.err.clear();
  decode(damaged);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: PP: Missed SOFT end @0x"));

  Bus standbyBus;
  standbyBus.mode = 0x0040;
  decodeBlocks({sblock("D1553", d1553(standbyBus)), header(0, 1)});
  EXPECT_TRUE(state.standby());
  EXPECT_STREQ(state.historyItems()[7].valueText(), "STBY");
}

TEST_F(HistoryTest, NamesOutsideTheirTablesShowAQuestionMark) {
  setUp(-1);
  decodeBlocks({sblock("CDPSTS", cdpsts(Status{.mode = 28, .waveform = 10}))});
  EXPECT_EQ(cellText(modeNameColumn), "??  ");
  EXPECT_EQ(cellText(waveformNameColumn), "auto");
  decodeBlocks({sblock("CDPSTS", cdpsts(Status{.mode = 29, .waveform = 11}))});
  EXPECT_EQ(cellText(modeNameColumn), "?   ");
  EXPECT_EQ(cellText(waveformNameColumn), "?   ");
  decodeBlocks({dspHeaderBlock({}, {{"CMPC", compression(4, 0, 0)}})});
  EXPECT_EQ(cellText(scaleNameColumn), "80NM");
  decodeBlocks({dspHeaderBlock({}, {{"CMPC", compression(5, 0, 0)}})});
  EXPECT_EQ(cellText(scaleNameColumn), "?   ");
}

// A bus record shorter than 1832 bytes is reported as the overrun its read would cause (the
// position 1832 bytes after its start, its end, the record's end), is not used, and the
// blocks after it are decoded as usual.
TEST_F(HistoryTest, ShortBusRecordIsReportedAsAnOverrunAndNotUsed) {
  struct Case {
    size_t size;
    const char* message;
  };
  // The payload starts at 0xB0, after the record header and the S-Block header; a full bus
  // record (0x7C0 bytes with its headers and end marker) follows the short one.
  const Case cases[] = {
      {1000, "-E[rec01.dat]: PP: SOFT chunk overrun @0x7D8 (expected at 0x498/0xc60)\n"},
      {1831, "-E[rec01.dat]: PP: SOFT chunk overrun @0x7D8 (expected at 0x7D7/0xf9f)\n"},
      {400, "-E[rec01.dat]: PP: SOFT chunk overrun @0x7D8 (expected at 0x240/0xa08)\n"},  // bytes to the azimuth
  };
  setUp(-1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    decodeBlocks({sblock("D1553", d1553(seaBus()))});
    EXPECT_EQ(cellText(timeColumn), "10:00:00");
    Bus other, after;
    other.time = 1;
    after.time = 2;
    captured.err.clear();
    decodeBlocks({sblock("D1553", d1553(other, c.size))});
    EXPECT_EQ(cellText(timeColumn), "10:00:00") << "the short record is not used";
    decodeBlocks({sblock("D1553", d1553(other, c.size)), sblock("D1553", d1553(after))});
    EXPECT_EQ(cellText(timeColumn), "00:00:04") << "the next block is decoded";
    EXPECT_THAT(captured.err, HasSubstr(c.message));
  }
}

TEST_F(HistoryTest, SarFixRewritesTheHeaderInPlaceAndReportsOnce) {
  setUp(-1);
  state.setFixSarHeaders(true);
  Bytes sarr(268, 0);
  putU32(sarr, 0, 3);
  putFloat(sarr, 20, 1.5f);   // word 5: a1 = 84
  putFloat(sarr, 24, 0.75f);  // word 6: a3 = 42
  putFloat(sarr, 28, 0.01f);  // word 7: a2 = ceil(0.56) = 1
  float lat = 0.7f, lon = 0.2f;
  uint32_t latBits, lonBits;
  std::memcpy(&latBits, &lat, 4);
  std::memcpy(&lonBits, &lon, 4);
  Bytes record = softRecord({dspHeaderBlock(
      {{102, latBits}, {103, lonBits}, {252, 9}, {253, 9}, {303, 9}, {304, 9}, {305, 9}},
      {{"SARR", sarr}})});
  decode(record);
  Bytes again = record;
  decode(again);

  const uint8_t* inRecord = record.data() + 32 + 100;  // the copy starts at S-Block byte 100
  for (const uint8_t* header : {state.lastHeader().data(), inRecord}) {
    EXPECT_EQ(wordOf(header, 138), 3u);
    for (size_t word : {252, 253, 303, 304, 305}) EXPECT_EQ(wordOf(header, word), 0u) << word;
    float w300, w301, w302;
    std::memcpy(&w300, header + 1200, 4);
    std::memcpy(&w301, header + 1204, 4);
    std::memcpy(&w302, header + 1208, 4);
    EXPECT_FLOAT_EQ(w300, 1.0f / 56.0f);
    EXPECT_FLOAT_EQ(w301, 1.5f);
    EXPECT_FLOAT_EQ(w302, 0.75f);
    EXPECT_EQ(wordOf(header, 306), lonBits);
    EXPECT_EQ(wordOf(header, 307), latBits);
  }
  size_t reports = 0;
  for (size_t at = 0; (at = captured.err.find("Fixing SAR headers", at)) != std::string::npos; ++at)
    ++reports;
  EXPECT_EQ(reports, 1u);
}

TEST_F(HistoryTest, ShortSarRecordKeepsTheRestOfTheTableForTheFix) {
  setUp(-1);
  state.setFixSarHeaders(true);
  Bytes sarr(268, 0);
  putU32(sarr, 0, 3);
  putFloat(sarr, 20, 1.5f);   // word 5: a1 = 84
  putFloat(sarr, 24, 0.75f);  // word 6: a3 = 42
  putFloat(sarr, 28, 0.5f);   // word 7: a2 = 28
  decodeBlocks({dspHeaderBlock({}, {{"SARR", sarr}})});
  Bytes shortSarr(4, 0);
  putU32(shortSarr, 0, 7);
  decodeBlocks({dspHeaderBlock({}, {{"SARR", shortSarr}})});

  const uint8_t* header = state.lastHeader().data();
  EXPECT_EQ(wordOf(header, 138), 7u);
  float w300, w301, w302;
  std::memcpy(&w300, header + 1200, 4);
  std::memcpy(&w301, header + 1204, 4);
  std::memcpy(&w302, header + 1208, 4);
  EXPECT_FLOAT_EQ(w300, 0.5f);
  EXPECT_FLOAT_EQ(w301, 1.5f);
  EXPECT_FLOAT_EQ(w302, 0.75f);
  EXPECT_STREQ(state.historyItems()[23].valueText(), "   7");
}

TEST_F(HistoryTest, DisplayHeaderChunkWalksItsExtensionsAndCountsTheFpgaHeader) {
  setUp(-1);
  Bytes header = soft_test::extendedHeader(88, {{"CMPC", compression(2, 0, 1)}});
  decode(soft_test::chunk("DISPHEADER", header, 0x33), 0x33, "DSP");
  EXPECT_STREQ(state.historyItems()[7].valueText(), "RAD ");
  EXPECT_EQ(report(),
            "tarsel-I: Postprocess                     : 2\n"
            "tarsel-I:   DSP:DISPHEAD                    : 1\n"
            "tarsel-I:   DSP:EXT CMPC                    : 1\n"
            "tarsel-I:   DSP:FPGA-HDR                    : 1\n");
}

TEST_F(HistoryTest, LevelMinusOneCountsButWritesNoFile) {
  setUp(-1);
  decodeBlocks({sblock("D1553", d1553(seaBus())), sblock("CDPSTS", cdpsts(Status{.mode = 3}))});
  decode(softRecord({sblock("D1553", d1553(seaBus()))}), 5, nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.file("pp-rec01.dat.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("pp-aesa-rec01.dat.txt")));
  EXPECT_THAT(captured.err, Not(HasSubstr("Changed")));
  EXPECT_EQ(report(),
            "tarsel-I: Postprocess                     : 3\n"
            "tarsel-I:   @ 5:D1553                       : 1\n"
            "tarsel-I:   EIF:CDPSTS                      : 1\n"
            "tarsel-I:   EIF:D1553                       : 1\n");
}

TEST_F(HistoryTest, AbsentPostProcessingDecodesNothingAndReportsNothing) {
  setUp(-2);
  decodeBlocks({sblock("D1553", d1553(seaBus()))});
  EXPECT_EQ(cellText(timeColumn), "        ");
  EXPECT_EQ(report(), "");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(HistoryTest, HistoryFileThatCannotBeOpenedIsFatal) {
  setUp(0);
  msg::set_context("missing/rec01.dat");
  EXPECT_THROW(decodeBlocks({sblock("D1553", d1553(seaBus()))}), ExitCalled);
  EXPECT_THAT(captured.err,
              HasSubstr("tarsel-F[missing/rec01.dat]: PP history file pp-missing/rec01.dat.txt -- "
                        "No such file or directory (2)\n"));
}

TEST_F(HistoryTest, HiddenFatalOpenFailureIsTriedAgainAtEveryCheck) {
  setUp(0);
  msg::set_context("missing/rec01.dat");
  msg::set_threshold(8);
  decodeBlocks({sblock("D1553", d1553(seaBus())), sblock("CDPSTS", cdpsts(Status{}))});
  // The hook before each block and the end of the status handler: three checks, three tries.
  EXPECT_EQ(msg::counter(msg::F), 3u);
  EXPECT_EQ(state.historyFileName(), "");
}

TEST_F(HistoryTest, StandbyFlagIsHandedBackWhenTheTablesEnd) {
  {
    SoftDecoder other;
    std::string lastSource;
    PostProcessState scoped(other, lastSource, testOutputs());
    scoped.setUpPostProcess(-1);
    Bytes record = softRecord({dspHeaderBlock({}, {{"CMPC", compression(1, 1, 0)}})});
    other.decodeSoftRecord(0x53, "EIF", record.data(), uint32_t(record.size()));
    ASSERT_TRUE(scoped.standby());
  }
  // With the tables gone the console logger no longer reads their flag: E lines show again.
  install_logger(&cmdio_logger());
  current_logger().log(5, "after");
  EXPECT_THAT(captured.err, HasSubstr("PP: after"));
}

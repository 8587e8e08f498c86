// The block scanner and the dispatch of blocks into flows, on recordings built in memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <sstream>

#include "driver/conversion_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

/// Records what the run hands over instead of saving it.
class RecordingObserver : public IFlowObserver {
 public:
  bool onFlowStart(Flow& flow) override {
    events.push_back(std::string("start ") + flow.name);
    return true;
  }
  void onFlowComplete(Flow& flow) override {
    std::ostringstream line;
    line << "complete " << flow.name << " extent=" << flow.extent
         << " arrived=" << flow.arrivedBlocks << " tag=" << flow.sourceTag;
    events.push_back(line.str());
    flow.cycles++;
    lastData.assign(flow.data, flow.data + flow.extent);
  }
  void onFlowFlush(Flow& flow) override {
    events.push_back(std::string("flush ") + flow.name);
    flow.cycles++;
  }
  std::vector<std::string> events;
  Bytes lastData;
};

class Scanner : public ConversionFixture {
 protected:
  /// The built-in layout, every flow pointing at the recording observer unless told otherwise.
  void loadLayout(bool recordAll = true) {
    ConversionFixture::loadLayout("", recordAll ? &recorder : nullptr);
  }
  RecordingObserver recorder;
};

constexpr uint32_t fHdr = 0x80000000, dispHeader = 0x56004000, soft = 0xF0000000;

Bytes headerCycle(uint32_t half, uint8_t fill = 0x11) {
  return cycleBlocks(fHdr + half, sourceDsp, Bytes(4096, fill));
}

}  // namespace

TEST_F(Scanner, SkipsStrayBytesBeforeTheFirstBlockSixteenAtATime) {
  loadLayout();
  Bytes recording(48, 0xEE);
  append(recording, headerCycle(0));
  append(recording, headerCycle(0x1000000));
  convert({recording});
  const std::string base = "[_19-05-17-10-30-00_1.rec";
  EXPECT_THAT(lines(), HasSubstr("tarsel-I" + base + "]: leading incomplete block\n"
                                 "tarsel-i" + base + ":16]: leading incomplete block\n"
                                 "tarsel-i" + base + ":32]: leading incomplete block\n"
                                 "tarsel-S" + base + ":48]: First block found\n"));
  EXPECT_THAT(recorder.events, ::testing::Contains("complete F-HDR extent=4096 arrived=16 tag=1"));
}

TEST_F(Scanner, WalksBackOverATruncatedBlock) {
  loadLayout();
  Bytes recording = headerCycle(0);
  // Block 3 of the next cycle loses the last 32 bytes of its data.
  Bytes second = headerCycle(0x1000000);
  second.erase(second.begin() + 3 * 272 + 240, second.begin() + 4 * 272);
  append(recording, second);
  append(recording, headerCycle(0));
  convert({recording});
  uint64_t damaged = 16 * 272 + 3 * 272;  // start of the truncated block
  char expected[256];
  std::snprintf(expected, sizeof expected,
                "-W[_19-05-17-10-30-00_1.rec:%llu]: Incomplete block (0x%llX)\n",
                static_cast<unsigned long long>(damaged + 272),
                static_cast<unsigned long long>(damaged + 272));
  EXPECT_THAT(lines(), HasSubstr(expected));
  std::snprintf(expected, sizeof expected, "Back retry: 0x%llX (-0x10)...\n",
                static_cast<unsigned long long>(damaged + 256));
  EXPECT_THAT(lines(), HasSubstr(expected));
  std::snprintf(expected, sizeof expected, "Back retry: 0x%llX (-0x10)...\n",
                static_cast<unsigned long long>(damaged + 240));
  EXPECT_THAT(lines(), HasSubstr(expected));
  EXPECT_EQ(std::count(messages.all.begin(), messages.all.end(), 'W') >= 3, true);
  EXPECT_THAT(lines(), Not(HasSubstr("broken recording?")));
  // The damaged cycle still collects all its blocks, and the one after it is whole again.
  EXPECT_THAT(lines(), HasSubstr("F-HDR@33: 3 (0x80000000*0x1000 +0x1000000)"));
}

TEST_F(Scanner, StopsAtTheFirstDamagedHeaderWithStop) {
  loadLayout();
  run.stopOnDamage = true;
  Bytes recording = headerCycle(0);
  Bytes second = headerCycle(0x1000000);
  second.erase(second.begin() + 3 * 272 + 240, second.begin() + 4 * 272);
  append(recording, second);
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("Incomplete block (0x"));
  EXPECT_THAT(lines(), Not(HasSubstr("Back retry")));
  EXPECT_THAT(lines(), HasSubstr("  batches  :  0..0=0\n"));
}

TEST_F(Scanner, GivesUpAfterFourteenStepsBack) {
  loadLayout();
  Bytes recording = headerCycle(0);
  append(recording, Bytes(600, 0x00));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-E[_19-05-17-10-30-00_1.rec:"));
  EXPECT_THAT(lines(), HasSubstr("]: broken recording?\n"));
}

TEST_F(Scanner, BadHeaderAtTheStartOfTheSecondFileIsFatal) {
  loadLayout();
  Bytes second(272, 0x00);
  EXPECT_THROW(convert({headerCycle(0), second}), ExitCalled);
  EXPECT_THAT(lines(), HasSubstr("-F[_19-05-17-10-30-00_2.rec]: back retry error\n"));
}

TEST_F(Scanner, ContinuesABlockSplitBetweenTwoFiles) {
  loadLayout();
  Bytes all = headerCycle(0);
  append(all, headerCycle(0x1000000));
  // Cut inside the data of block 5: header plus 100 data bytes stay in the first file.
  size_t cut = 5 * 272 + 16 + 100;
  Bytes first(all.begin(), all.begin() + cut), second(all.begin() + cut, all.end());
  convert({first, second});
  EXPECT_THAT(lines(), HasSubstr("-i[_19-05-17-10-30-00_2.rec]: partial read 256=100+156\n"));
  EXPECT_THAT(recorder.events, ::testing::Contains("complete F-HDR extent=4096 arrived=16 tag=1"));
  EXPECT_THAT(lines(), HasSubstr("1..2: processed 2 files"));
}

TEST_F(Scanner, ClonesAFlowForASecondSource) {
  loadLayout();
  Bytes recording = headerCycle(0);
  append(recording, cycleBlocks(fHdr, sourceDfe, Bytes(4096, 0x22)));
  append(recording, headerCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-I[_19-05-17-10-30-00_1.rec:4368]: Flow: F-HDR@86 b=0x80000000 a=0x80000000\n"));
  ASSERT_EQ(table.size(), 24u);
  EXPECT_EQ(table.back()->sourceId, 0x56u);
  EXPECT_EQ(table[3]->sourceId, 0x33u);
  EXPECT_THAT(lines(), HasSubstr("F-HDR@56: 1 (0x80000000*0x1000 +0x1000000)"));
}

TEST_F(Scanner, DisregardsACycleWithAMissingBlock) {
  loadLayout();
  Bytes recording = headerCycle(0);
  recording.erase(recording.begin() + 7 * 272, recording.begin() + 8 * 272);
  append(recording, headerCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-E[_19-05-17-10-30-00_1.rec:4096]: F-HDR: partial flow disregarded, arrived=15, expected=16\n"));
}

TEST_F(Scanner, WarnsOnceForADuplicatedBlockAndCountsItOnce) {
  loadLayout();
  Bytes recording;
  for (uint32_t index : {0u, 1u, 1u, 2u}) append(recording, filledBlock(fHdr + index * 256, sourceDsp, 1));
  append(recording, headerCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("]: F-HDR: duplicated: 1\n"));
  EXPECT_THAT(recorder.events, ::testing::Contains("complete F-HDR extent=768 arrived=3 tag=1"));
}

TEST_F(Scanner, JudgesACycleWithoutItsStartBlockAsPartial) {
  loadLayout();
  Bytes recording;
  append(recording, filledBlock(fHdr + 0x300, sourceDsp, 1));
  append(recording, filledBlock(fHdr + 0x100, sourceDsp, 1));
  append(recording, headerCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("F-HDR: partial flow disregarded, arrived=2, expected=4"));
}

TEST_F(Scanner, EndsAPingpongZeroCycleWhenTheBaseComesAgain) {
  loadLayout();
  Bytes recording = cycleBlocks(soft, sourceEif, Bytes(1024, 3));
  append(recording, cycleBlocks(soft, sourceEif, Bytes(512, 4), 7));
  convert({recording});
  EXPECT_THAT(recorder.events, ::testing::ElementsAre(
      "start SOFT", "complete SOFT extent=1024 arrived=4 tag=1", "start SOFT", "flush SOFT"));
}

TEST_F(Scanner, CompletedRecordCarriesTheTagOfItsOwnBlocks) {
  loadLayout();
  Bytes recording = cycleBlocks(soft, sourceEif, Bytes(512, 3), 5);
  append(recording, cycleBlocks(soft, sourceEif, Bytes(512, 4), 9));
  convert({recording});
  EXPECT_THAT(recorder.events, ::testing::Contains("complete SOFT extent=512 arrived=2 tag=5"));
}

TEST_F(Scanner, CountsAnUnknownAddressWithOneWarning) {
  loadLayout();
  Bytes recording = headerCycle(0);
  Bytes unknown = filledBlock(0x30000000, sourceDsp, 9);
  for (int i = 0; i < 5000; ++i) append(recording, unknown);
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("-W[_19-05-17-10-30-00_1.rec:4368]: ????16 @1110: 0x30000000\n"));
  EXPECT_EQ(lines().find("????17"), std::string::npos);
  EXPECT_THAT(lines(), HasSubstr("tarsel-W: Unrecognized flow: 1\ntarsel-W:   @30000000: 5000\n"));
}

TEST_F(Scanner, ReportsARunWithoutHeaders) {
  loadLayout();
  Bytes recording;
  for (int i = 0; i < 4096; ++i) append(recording, filledBlock(0x30000000, sourceDsp, 9));  // ~1.06 MiB
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("tarsel-S: processed 1Mib -> 0.000Mib, 1.062 Mib/sec\n"
                                 "tarsel-S:   timestamp:  0:00:00..0:00:00=1sec\n"
                                 "tarsel-S:   timetag  :  0..0=0 = 0.000sec\n"
                                 "tarsel-S:   batches  :  0..0=0\n"));
}

TEST_F(Scanner, PrintsEveryFlowAtTheEnd) {
  loadLayout();
  Bytes recording = headerCycle(0);
  append(recording, headerCycle(0x1000000));
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("tarsel-S: F-HDR@33: 2 (0x80000000*0x1000 +0x1000000)\n"));
  EXPECT_THAT(lines(), HasSubstr("tarsel-i: SOFT@0: 0\n"));
}

TEST_F(Scanner, StopsAtTheBatchLimit) {
  settings.firmwareHeader = true;
  loadLayout(false);
  run.maxBatches = 2;
  Bytes recording;
  for (uint32_t batch = 1; batch <= 5; ++batch) {
    Bytes header(4096, 0);
    std::memcpy(header.data() + 16, "HDR0", 4);
    putU32(header, 24 * 4, batch);
    append(recording, cycleBlocks(dispHeader + (batch % 2) * 0x1000, sourceDsp, header));
  }
  convert({recording});
  EXPECT_EQ(observers().headerCounters().headerCount, 2u);
  EXPECT_THAT(lines(), HasSubstr("  batches  :  1..2=1\n"));
}

TEST_F(Scanner, StopsAfterCtrlC) {
  loadLayout();
  stop = true;
  convert({headerCycle(0)});
  EXPECT_THAT(lines(), Not(HasSubstr("First block found")));
  EXPECT_THAT(lines(), HasSubstr("  batches  :  0..0=0\n"));
}

namespace {

/// Six F-HDR cycles of alternating halves, cycle c filled with 0x20 + c.
std::vector<Bytes> sixCycles() {
  std::vector<Bytes> cycles;
  for (uint32_t c = 0; c < 6; ++c) cycles.push_back(headerCycle(c % 2 ? 0x1000000 : 0, uint8_t(0x20 + c)));
  return cycles;
}

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) append(all, part);
  return all;
}

constexpr size_t damagedCycle = 2, damagedBlock = 5;
// Where block 6 of the damaged cycle begins in the undamaged recording.
constexpr size_t nextBlockAt = (damagedCycle * 16 + damagedBlock + 1) * 272;

struct Damage {
  const char* name;
  std::function<std::vector<Bytes>(Bytes)> apply;  // the recording, split into files
  uint64_t skipped;                                 // bytes the resynchronisation passes over
  bool damagedCycleWhole;                           // the damaged cycle still holds every block
};

const Damage damages[] = {
    {"flipped marker bit", [](Bytes r) {
       r[nextBlockAt - 272 + 12] ^= 0x04;
       return std::vector<Bytes>{r};
     }, 272, false},
    {"16 stray bytes between two blocks", [](Bytes r) {
       r.insert(r.begin() + nextBlockAt, 16, 0xEE);
       return std::vector<Bytes>{r};
     }, 16, true},
    {"1 inserted byte", [](Bytes r) {
       r.insert(r.begin() + nextBlockAt, 1, 0x5B);
       return std::vector<Bytes>{r};
     }, 1, true},
    {"17 inserted bytes", [](Bytes r) {
       r.insert(r.begin() + nextBlockAt, 17, 0x00);
       return std::vector<Bytes>{r};
     }, 17, true},
    // The shortened block swallows the start of the next one, whose header then lies behind
    // the first bad header: that block is lost, the search finds the one after it.
    {"5 bytes deleted from a data block", [](Bytes r) {
       r.erase(r.begin() + nextBlockAt - 100, r.begin() + nextBlockAt - 95);
       return std::vector<Bytes>{r};
     }, 272 - 5, false},
    {"40 bytes deleted from a data block", [](Bytes r) {
       r.erase(r.begin() + nextBlockAt - 100, r.begin() + nextBlockAt - 60);
       return std::vector<Bytes>{r};
     }, 272 - 40, false},
    {"stray bytes on both sides of a file boundary", [](Bytes r) {
       Bytes first(r.begin(), r.begin() + nextBlockAt), second(r.begin() + nextBlockAt, r.end());
       first.insert(first.end(), 100, 0xEE);
       second.insert(second.begin(), 50, 0xEE);
       return std::vector<Bytes>{first, second};
     }, 150, true},
    {"stray bytes, then a header split by a file boundary", [](Bytes r) {
       r.insert(r.begin() + nextBlockAt, 100, 0xEE);
       size_t cut = nextBlockAt + 100 + 12;  // inside the marker of the header found
       return std::vector<Bytes>{Bytes(r.begin(), r.begin() + cut), Bytes(r.begin() + cut, r.end())};
     }, 100, true},
};

class Resynchronisation : public Scanner, public ::testing::WithParamInterface<Damage> {};

}  // namespace

// The scan goes on after "broken recording?" at the next header ahead; every cycle the
// damage did not touch arrives whole.
TEST_P(Resynchronisation, KeepsEveryCycleTheDamageDidNotTouch) {
  loadLayout();
  const Damage& damage = GetParam();
  convert(damage.apply(joined(sixCycles())));
  EXPECT_THAT(lines(), HasSubstr("]: broken recording?\n"));
  EXPECT_THAT(lines(), HasSubstr(", " + std::to_string(damage.skipped) + " bytes skipped\n"));
  int complete = int(std::count_if(recorder.events.begin(), recorder.events.end(),
                                   [](const std::string& e) { return e.rfind("complete", 0) == 0; }));
  EXPECT_EQ(complete, damage.damagedCycleWhole ? 5 : 4);  // the sixth is flushed at the end
  EXPECT_EQ(recorder.events.back(), "flush F-HDR");
  if (!damage.damagedCycleWhole) {
    EXPECT_THAT(lines(), HasSubstr("F-HDR: partial flow disregarded, arrived=15, expected=16"));
  }
}

INSTANTIATE_TEST_SUITE_P(Damages, Resynchronisation, ::testing::ValuesIn(damages),
                         [](const ::testing::TestParamInfo<Damage>& param) {
                           std::string name = param.param.name;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST_F(Scanner, ResynchronisationNamesTheHeaderFoundAndTheBytesPassedOver) {
  loadLayout();
  Bytes recording = joined(sixCycles());
  recording[nextBlockAt - 272 + 15] = 0;
  convert({recording});
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "-W[_19-05-17-10-30-00_1.rec:%zu]: resynchronised at 0x%zX, 272 bytes skipped\n",
                nextBlockAt, nextBlockAt);
  EXPECT_THAT(lines(), HasSubstr(expected));
  EXPECT_THAT(lines(), HasSubstr("F-HDR@33: 5 (0x80000000*0x1000 +0x1000000)"));
}

TEST_F(Scanner, AWalkBackThatReachesTheStartOfALaterFileSearchesForward) {
  loadLayout();
  Bytes all = headerCycle(0);
  append(all, headerCycle(0x1000000));
  append(all, headerCycle(0x2000000));
  // The second file starts inside block 5; 40 stray bytes hide the header of block 6.
  size_t cut = 5 * 272 + 16 + 100, header = 272 - 116;
  Bytes first(all.begin(), all.begin() + cut), second(all.begin() + cut, all.end());
  second.insert(second.begin() + header, 40, 0x00);
  convert({first, second});
  EXPECT_THAT(lines(), Not(HasSubstr("back retry error")));
  EXPECT_THAT(lines(), HasSubstr("-E[_19-05-17-10-30-00_2.rec:12]: broken recording?\n"));
  EXPECT_THAT(lines(), HasSubstr("-W[_19-05-17-10-30-00_2.rec:196]: resynchronised at 0xC4, 40 bytes skipped\n"));
  EXPECT_THAT(recorder.events, ::testing::Contains("complete F-HDR extent=4096 arrived=16 tag=1"));
  EXPECT_THAT(lines(), HasSubstr("1..2: processed 2 files"));
}

TEST_F(Scanner, DamageRunningToTheEndEndsTheScan) {
  loadLayout();
  Bytes recording = joined(sixCycles());
  recording.resize(nextBlockAt + 100);  // the rest is lost: no header ahead
  recording.insert(recording.end(), 900, 0x5B);
  convert({recording});
  EXPECT_THAT(lines(), HasSubstr("]: broken recording?\n"));
  EXPECT_THAT(lines(), Not(HasSubstr("resynchronised")));
  EXPECT_THAT(lines(), HasSubstr("F-HDR@33: 3 (0x80000000*0x1000 +0x1000000)"));
}

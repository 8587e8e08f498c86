#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "soft/soft.h"
#include "soft_records.h"

namespace {

using namespace soft_test;

// What the observers and the block callback saw, in order.
struct Seen {
  std::vector<std::string> events;
  std::vector<BlockInfo> blocks;
};

int recordBlock(void* context, const BlockInfo& info) {
  auto* seen = static_cast<Seen*>(context);
  seen->events.push_back(std::string("obs ") + info.name);
  seen->blocks.push_back(info);
  return 0;
}

class SoftDecoding : public DecoderTest {
 protected:
  void observe(const char* name) { decoder.registerBlockObserver(name, recordBlock, &seen, 0); }
  void SetUp() override {
    DecoderTest::SetUp();
    decoder.setBlockCallback(
        [this](uint32_t value, const char* name) {
          seen.events.push_back("cb " + std::to_string(value) + " " + name);
        },
        7);
  }
  Seen seen;
};

// D1553 (64 data bytes) and CDPSTS (32) in one SOFT record: data at 0xB0 and 0x188,
// ends at 0xF0 and 0x1A8, record length 0x1B0.
Bytes twoBlockRecord() {
  return chunk("SOFT", sblock("D1553", filled(64, 0x11), {1, 2, 3, 4, 5}) +
                           sblock("CDPSTS", filled(32, 0x22)));
}

TEST_F(SoftDecoding, TwoSBlocksWithIntactEndMarkersStopQuietlyAtTheRecordEnd) {
  observe("D1553");
  observe("CDPSTS");
  decode(twoBlockRecord());
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 D1553", "obs D1553", "cb 7 CDPSTS",
                                                   "obs CDPSTS"}));
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: D155...\n"
            "tarsel-D: PP: OBS: D1553 b0\n"
            "tarsel-D: PP: S-Block: CDPS...\n"
            "tarsel-D: PP: OBS: CDPSTS 188\n");
  ASSERT_EQ(seen.blocks.size(), 2u);
  const BlockInfo& first = seen.blocks[0];
  EXPECT_EQ(first.size, 64u);
  EXPECT_EQ(first.position, 0xB0u);
  EXPECT_EQ(first.isSBlock, 1u);
  EXPECT_EQ(first.sourceId, 0x53u);
  EXPECT_EQ(first.sourceTag, 0x01u);
  EXPECT_EQ(first.word9, 1u);
  EXPECT_EQ(first.word10, 2u);
  EXPECT_EQ(first.word11, 3u);
  EXPECT_EQ(first.word13, 4u);
  EXPECT_EQ(first.word14, 5u);
  EXPECT_EQ(seen.blocks[1].size, 32u);
  EXPECT_EQ(seen.blocks[1].position, 0x188u);
  EXPECT_EQ(decoder.currentSourceId(), 0x53u);
  EXPECT_STREQ(decoder.currentSourceName(), "EIF");
}

TEST_F(SoftDecoding, DamagedEndMarkerIsReportedAndTheNextSBlockFound) {
  observe("CDPSTS");
  Bytes record = twoBlockRecord();
  record[0xF3] = 0;
  decode(record);
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 D1553", "cb 7 CDPSTS", "obs CDPSTS"}));
  EXPECT_NE(captured.all.find("tarsel-E: PP: Missed SOFT end @0xB0 (expected at 0xF0/0x1b0)\n"
                              "tarsel-D: PP: S-Block: CDPS...\n"),
            std::string::npos)
      << captured.all;
}

// Reads 16 bytes more than its block holds, as a handler with a fixed length may.
struct Overreader {
  SoftDecoder* decoder;
  uint8_t buffer[128];
  int onBlock(const BlockInfo& info) {
    decoder->readBlock(buffer, info, info.size + 16);
    return 0;
  }
};

TEST_F(SoftDecoding, ObserverReadingPastItsBlockStopsTheRecord) {
  Overreader over{&decoder, {}};
  decoder.registerBlockObserver("D1553", &over, &Overreader::onBlock);
  decode(twoBlockRecord());
  EXPECT_EQ(seen.events, std::vector<std::string>{"cb 7 D1553"});
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: D155...\n"
            "tarsel-D: PP: OBS: D1553 b0\n"
            "tarsel-E: PP: SOFT chunk overrun @0x100 (expected at 0xF0/0x1b0)\n");
}

TEST_F(SoftDecoding, EightZeroBytesBeforeTheChunkEndAreExtraTrailing) {
  decode(chunk("SOFT", sblock("D1553", filled(64, 0x11)) + filled(8, 0)));
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: D155...\n"
            "tarsel-D: PP: SOFT start marker @0xF8 (expected at 0xF0/0x100): extra trailing=8)\n");
  EXPECT_EQ(seen.events, std::vector<std::string>{"cb 7 D1553"});
}

TEST_F(SoftDecoding, BytesBeyondTheChunkEndAreMissedStartMarkers) {
  Bytes record = chunk("SOFT", sblock("D1553", filled(64, 0x11)));
  putU32(record, 20, 200);  // the chunk ends 16 bytes before its S-Block does
  decode(record + chunk("TIMER", filled(8, 0)));
  EXPECT_NE(captured.all.find("tarsel-E: PP: Missed SOFT start marker @0xF8 (expected at "
                              "0xF0/0xe8, extra bytes=fffffffffffffff0)\n"),
            std::string::npos)
      << captured.all;
}

TEST_F(SoftDecoding, BareStreamIsDecodedOnlyAsTheFirstRecord) {
  observe("SUM");
  Bytes bare = sblock("SUM", filled(16, 1)) + sblock("GUARD", filled(16, 2));
  decode(bare);
  EXPECT_EQ(captured.all,
            "tarsel-I: PP: Soft recorded data?\n"
            "tarsel-D: PP: S-Block: SUM\n"  // the name's NUL ends the text
            "tarsel-D: PP: OBS: SUM 90\n"
            "tarsel-D: PP: S-Block: GUAR...\n");
  ASSERT_EQ(seen.blocks.size(), 1u);
  EXPECT_EQ(seen.blocks[0].sourceId, 0u);  // no chunk read yet

  captured.all.clear();
  seen.events.clear();
  decode(bare);
  EXPECT_EQ(captured.all, "");
  EXPECT_TRUE(seen.events.empty());
}

TEST_F(SoftDecoding, BareStreamStepsOverStrayBytesEightAtATime) {
  observe("GUARD");
  decode(sblock("SUM", filled(16, 1)) + filled(16, 0) + sblock("GUARD", {}));
  EXPECT_EQ(captured.all,
            "tarsel-I: PP: Soft recorded data?\n"
            "tarsel-D: PP: S-Block: SUM\n"
            "tarsel-E: PP: Missed SOFT start marker @0xA8 (expected at 0xA0/0x0, "
            "extra bytes=ffffffffffffff58)\n"
            "tarsel-E: PP: Missed SOFT start marker @0xB0 (expected at 0x0/0x0, "
            "extra bytes=ffffffffffffff50)\n"
            "tarsel-D: PP: S-Block: GUAR...\n"
            "tarsel-D: PP: OBS: GUARD 148\n");
}

TEST_F(SoftDecoding, BareStreamAfterASoftChunkIsNotDecoded) {
  decode(twoBlockRecord());
  captured.all.clear();
  seen.events.clear();
  decode(sblock("SUM", filled(16, 1)));
  EXPECT_EQ(captured.all, "");
  EXPECT_TRUE(seen.events.empty());
}

TEST_F(SoftDecoding, BareStreamAfterAnotherChunkTakesThatChunksSource) {
  observe("SUM");
  decode(chunk("TIMER", filled(16, 0), 0x33, 0x07));
  decode(sblock("SUM", filled(16, 1)), 0x53, nullptr);
  EXPECT_NE(captured.all.find("tarsel-I: PP: Soft recorded data?\n"), std::string::npos);
  ASSERT_EQ(seen.blocks.size(), 1u);
  EXPECT_EQ(seen.blocks[0].sourceId, 0x33u);
  EXPECT_EQ(seen.blocks[0].sourceTag, 0x07u);
  EXPECT_EQ(decoder.currentSourceName(), nullptr);
}

TEST_F(SoftDecoding, SoftDfeRecordIsAStream) {
  observe("AESATX");
  decode(chunk("SOFTDFE", sblock("AESATX", filled(40, 3)), 0x56, 0x02), 0x56, "DFE");
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 AESATX", "obs AESATX"}));
  EXPECT_EQ(seen.blocks.at(0).sourceId, 0x56u);
  EXPECT_EQ(seen.blocks.at(0).size, 40u);
}

TEST_F(SoftDecoding, ChunkReachesEveryObserverOfItsEightCharacterName) {
  observe("DISPHEAD");
  observe("DISP");
  observe("DISPHEAD");
  decode(chunk("DISPHEADER", filled(64, 9), 0x33, 0x04));
  EXPECT_EQ(seen.events, (std::vector<std::string>{"obs DISPHEAD", "obs DISPHEAD",
                                                   "cb 7 DISPHEAD"}));
  const BlockInfo& info = seen.blocks.at(0);
  EXPECT_EQ(info.isSBlock, 0u);
  EXPECT_EQ(info.size, 64u);
  EXPECT_EQ(info.position, 32u);
  EXPECT_EQ(info.sourceId, 0x33u);
  EXPECT_EQ(info.sourceTag, 0x04u);
  EXPECT_EQ(captured.all, "");
}

TEST_F(SoftDecoding, ChunkEndingAtTheRecordEndFinishesTheRecord) {
  // Stale bytes after the header look like a bare stream; they must not be read again.
  decode(chunk("TIMER", sblock("SUM", filled(16, 1))));
  EXPECT_EQ(seen.events, std::vector<std::string>{"cb 7 TIMER"});
  EXPECT_EQ(captured.all, "");
}

TEST_F(SoftDecoding, ChunksBackToBackAreAllDispatched) {
  decode(chunk("TIMER", filled(8, 1)) + chunk("SOFT", sblock("SUM", {})) + chunk("VIDEO", {}));
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 TIMER", "cb 7 SUM", "cb 7 VIDEO"}));
  EXPECT_EQ(captured.all, "tarsel-D: PP: S-Block: SUM\n");
}

TEST_F(SoftDecoding, UnnamedSBlockIsReportedAndANamelessOneEndsTheRecord) {
  // A first character NUL is "unnamed", but only eight NUL bytes answer 0 and end the record.
  decode(chunk("SOFT", sblock(std::string("\0UM", 3), {}) + sblock("", {}) + sblock("SUM", {})));
  EXPECT_EQ(captured.all, "tarsel-I: PP: S-Block: unnamed?\ntarsel-I: PP: S-Block: unnamed?\n");
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 ", "cb 7 "}));
}

TEST_F(SoftDecoding, DataEndingInsideTheStreamIsEof) {
  decode(chunk("SOFT", sblock("SUM", {})) + filled(4, 0));
  EXPECT_EQ(captured.all, "tarsel-D: PP: S-Block: SUM\ntarsel-E: PP: EOF?\n");
}

TEST_F(SoftDecoding, HugeAndBackwardsLengthsEndTheRecordWithAMessage) {
  Bytes backwards = chunk("SOFT", sblock("SUM", filled(16, 0)));
  putU32(backwards, 32 + 20, 100);  // S below 128
  decode(backwards);
  Bytes huge = chunk("SOFT", sblock("SUM", filled(16, 0)));
  putU32(huge, 32 + 20, 0xFFFFFFFF);
  decode(huge);
  Bytes longChunk = chunk("SOFT", sblock("SUM", filled(16, 0)));
  putU32(longChunk, 20, 0xFFFFFFF0);
  decode(longChunk);
  EXPECT_EQ(captured.all,
            "tarsel-E: PP: S-Block size 100 out of range @0x20 (end 0xc8)\n"
            "tarsel-E: PP: S-Block size 4294967295 out of range @0x20 (end 0xc8)\n"
            "tarsel-E: PP: Chunk SOFT length 4294967280 beyond record @0x20 (end 0xc8)\n");
  EXPECT_TRUE(seen.events.empty());
}

// A SOFT record missing the last `cut` bytes of its end marker; the S-Block's data ends at 0xC0.
Bytes recordCutAfterTheData(size_t cut) {
  Bytes record = chunk("SOFT", sblock("SUM", filled(16, 0)));
  record.resize(record.size() - cut);
  putU32(record, 20, uint32_t(record.size() - 32));
  return record;
}

TEST_F(SoftDecoding, EndMarkerCutByTheRecordEnd) {
  decode(recordCutAfterTheData(4));  // half a marker: missed, and the data stops short
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: SUM\n"
            "tarsel-E: PP: Missed SOFT end @0xB0 (expected at 0xC0/0xc4)\n"
            "tarsel-E: PP: EOF?\n");
  captured.all.clear();
  decode(recordCutAfterTheData(8));  // no marker at all: nothing after it is read
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: SUM\n"
            "tarsel-E: PP: Missed SOFT end @0xB0 (expected at 0xC0/0xc0)\n");
}

TEST_F(SoftDecoding, NothingIsDecodedBelowLevelMinusOne) {
  decoder.setPostProcessLevel(-2);
  decode(twoBlockRecord());
  EXPECT_TRUE(seen.events.empty());
  EXPECT_EQ(captured.all, "");
}

TEST_F(SoftDecoding, DecodeNextAnswersTheNameThenZero) {
  Bytes record = chunk("DISPHEADER", filled(8, 0)) + chunk("SOFT", sblock("D1553", {}));
  VeloxPlaybackReaderMemory& reader = decoder.memoryReader();
  reader.base = record.data();
  reader.size = record.size();
  reader.position = 0;
  EXPECT_EQ(decoder.decodeNext(), 0x4441454850534944u);  // "DISPHEAD"
  EXPECT_EQ(decoder.decodeNext(), 0x0000003335353144u);  // "D1553"
  EXPECT_EQ(decoder.decodeNext(), 0u);
}

TEST_F(SoftDecoding, ObserverTablesHold256EntriesEach) {
  for (int i = 0; i < 256; ++i)
    ASSERT_TRUE(decoder.registerBlockObserver("X", recordBlock, &seen, 0));
  EXPECT_FALSE(decoder.registerBlockObserver("SUM", recordBlock, &seen, 0));
  EXPECT_TRUE(decoder.registerXinfoObserver("EXT CMPC", [](void*, const XinfoRecord&) { return 0; },
                                            nullptr, 0));
  decode(chunk("SOFT", sblock("SUM", {})));
  EXPECT_EQ(seen.events, std::vector<std::string>{"cb 7 SUM"});
}

TEST_F(SoftDecoding, InlineContextIsACopyTakenAtRegistration) {
  struct Context {
    int value;
    std::vector<int>* calls;
  };
  std::vector<int> calls;
  Context context{1, &calls};
  auto note = [](void* raw, const BlockInfo&) {
    auto* c = static_cast<Context*>(raw);
    c->calls->push_back(c->value);
    return 0;
  };
  decoder.registerBlockObserver("TIMER", note, &context, sizeof context);
  context.value = 2;
  decoder.registerBlockObserver("TIMER", note, &context, 0);  // no copy: the object itself
  context.value = 3;
  decode(chunk("TIMER", {}));
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));
}

TEST_F(SoftDecoding, OnlyTheFirstObserverOfAnSBlockNameIsCalled) {
  observe("SUM");
  observe("SUM");
  decode(chunk("SOFT", sblock("SUM", {})));
  EXPECT_EQ(seen.events, (std::vector<std::string>{"cb 7 SUM", "obs SUM"}));
}

}  // namespace

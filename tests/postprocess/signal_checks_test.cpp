// Signal block checks: size lines by level, S-Block markers among the samples, the FPGA
// comparison and zero runs of "SUM", and the corrupted block count of the end report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "postprocess/pp_records.h"

using ::testing::HasSubstr;
using ::testing::Not;
using namespace pp_test;

namespace {

constexpr uint32_t firstBatch = 1000;

/// A payload of `size` bytes whose words are all 0x01010101 (no marker byte, no zero word).
Bytes samples(size_t size) { return Bytes(size, 0x01); }

/// Writes an S-Block start with `name` and block word 10 `batch` at byte `at` of the payload,
/// as far as the payload reaches.
void embedBlock(Bytes& payload, size_t at, const std::string& name, uint32_t batch) {
  Bytes head(84, 0);
  std::memset(head.data(), 0x5A, 8);
  putU32(head, 40, batch);
  std::memcpy(head.data() + 68, name.data(), name.size());
  for (size_t i = 0; i < head.size() && at + i < payload.size(); ++i) payload[at + i] = head[i];
}

class SignalChecksTest : public PostProcessTest {
 protected:
  /// Sets the level and a DSP header copy of 8 rows and 16 columns with the first batch.
  void start(int32_t level) {
    setUp(level);
    decodeBlocks({dspHeaderBlock({{24, firstBatch}, {26, 8}, {27, 16}})});
    captured.err.clear();
  }
  void signal(const std::string& name, const Bytes& payload, uint32_t batch = firstBatch + 10) {
    decodeBlocks({soft_test::sblock(name, payload, Words{.w10 = batch})});
  }
  size_t count(const std::string& text) {
    size_t n = 0;
    for (size_t at = 0; (at = captured.err.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
  }
};

}  // namespace

TEST_F(SignalChecksTest, LevelFourChecksNothing) {
  start(4);
  Bytes payload = samples(1024);
  embedBlock(payload, 16, "D1553", 7);
  signal("SUM", payload);
  signal("DAZ", samples(512));
  EXPECT_EQ(captured.err.find("SUM 1010"), std::string::npos);
  EXPECT_EQ(captured.err.find("DAZ 1010"), std::string::npos);
  EXPECT_EQ(state.corruptedBlocks(), 0u);
}

TEST_F(SignalChecksTest, LevelFiveFindsAMarkerAtOffsetSixteenWithoutSizeLines) {
  start(5);
  Bytes payload = samples(1024);
  embedBlock(payload, 16, "D1553", 77);
  signal("SUM", payload);
  signal("DEL", samples(512));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): Marker inside signal "
                                      "+16: D1553: 77\n"));
  EXPECT_THAT(captured.err, Not(HasSubstr("size:")));
  EXPECT_EQ(state.corruptedBlocks(), 1u);
  EXPECT_THAT(report(), HasSubstr("tarsel-E: 1 corrupted signal block(s)\n"));
}

TEST_F(SignalChecksTest, MarkerMustStartBeforeTheLastThirtyTwoBytes) {
  start(5);
  Bytes found = samples(256);
  std::memset(found.data() + 223, 0x5A, 4);  // L - 33
  signal("GUARD", found);
  // The block recorded there would run past the signal: only its bytes inside count.
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: GUA 1010(10): Marker inside signal "
                                      "+223: : 0\n"));
  captured.err.clear();
  Bytes missed = samples(256);
  std::memset(missed.data() + 224, 0x5A, 4);  // L - 32
  signal("GUARD", missed);
  Bytes small = samples(48);
  std::memset(small.data() + 16, 0x5A, 4);
  signal("GUARD", small);
  EXPECT_THAT(captured.err, Not(HasSubstr("Marker")));
  EXPECT_EQ(state.corruptedBlocks(), 1u);
}

TEST_F(SignalChecksTest, MarkerNameRunsToItsFirstNulForAtMostSixteenCharacters) {
  start(5);
  Bytes payload = samples(1024);
  embedBlock(payload, 16, "ABCDEFGHIJKLMNOP", 5);  // a full name: no NUL of its own
  std::memcpy(payload.data() + 16 + 84, "QR", 3);  // what follows the name is not part of it
  Bytes tail = samples(256);
  embedBlock(tail, 100, "", 6);
  std::memset(tail.data() + 168, 'Z', tail.size() - 168);  // no NUL before the block's end
  signal("SUM", payload);
  signal("DEL", tail);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): Marker inside signal "
                                      "+16: ABCDEFGHIJKLMNOP: 5\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: DEL 1010(10): Marker inside signal "
                                      "+100: " + std::string(16, 'Z') + ": 6\n"));
  // A block full of markers: every message stays short.
  Bytes markers(64 << 10, 0x5A);
  signal("DAZ", markers);
  EXPECT_THAT(captured.err, HasSubstr("Marker inside signal +16: ZZZZZZZZZZZZZZZZ: 1515870810\n"));
  EXPECT_LT(captured.err.size(), 13108u * 100u);
}

TEST_F(SignalChecksTest, ScanResumesFiveBytesAfterAMarker) {
  start(5);
  Bytes close = samples(512);
  std::memset(close.data() + 16, 0x5A, 4);
  std::memset(close.data() + 20, 0x5A, 4);  // four bytes on: inside the first marker's skip
  signal("DAZ", close);
  EXPECT_EQ(count("Marker inside signal"), 1u);
  captured.err.clear();
  Bytes apart = samples(512);
  std::memset(apart.data() + 16, 0x5A, 4);
  std::memset(apart.data() + 21, 0x5A, 4);
  signal("DAZ", apart);
  EXPECT_THAT(captured.err, HasSubstr("DAZ 1010(10): Marker inside signal +16: "));
  EXPECT_THAT(captured.err, HasSubstr("DAZ 1010(10): Marker inside signal +21: "));
  EXPECT_EQ(state.corruptedBlocks(), 3u);
}

TEST_F(SignalChecksTest, SizeLinesFollowTheLengthOfAnyKindAboveLevelFive) {
  start(6);
  signal("SUM", samples(1024));
  signal("SUM", samples(1024), firstBatch + 11);
  signal("DAZ", samples(512), firstBatch + 11);
  signal("GUARD", samples(1024), 5);
  EXPECT_EQ(count("size:"), 3u);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: SUM 1010(10) size: 0 -> 1024 (0) "
                                      "<- 512 (456) [8,16]\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: DAZ 1011(11) size: 1024 -> 512 (2) "
                                      "<- 512 (4294967240) [8,16]\n"));
  // A batch before the first header's wraps around.
  EXPECT_THAT(captured.err, HasSubstr("tarsel-W[rec01.dat]: GUA 5(4294966301) size: 512 -> 1024 "
                                      "(3) <- 512 (456) [8,16]\n"));
}

TEST_F(SignalChecksTest, EveryBlockHasASizeLineAboveLevelTwenty) {
  start(21);
  signal("DEL", samples(1024));
  signal("DEL", samples(1024));
  EXPECT_EQ(count("DEL 1010(10) size:"), 2u);
  EXPECT_THAT(captured.err, HasSubstr("DEL 1010(10) size: 1024 -> 1024 (1) <- 512 (456) [8,16]"));
}

TEST_F(SignalChecksTest, ThirteenZeroWordsInASumAreReportedAtTheThirteenth) {
  start(5);
  Bytes thirteen = samples(2048);
  std::memset(thirteen.data() + 32 + 4 * 100, 0, 4 * 13);
  signal("SUM", thirteen);
  EXPECT_THAT(captured.err,
              HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): Zeros inside signal +112: 13\n"));
  EXPECT_EQ(state.corruptedBlocks(), 1u);

  captured.err.clear();
  Bytes twelve = samples(2048);
  std::memset(twelve.data() + 32 + 4 * 100, 0, 4 * 12);
  signal("SUM", twelve);
  signal("DAZ", thirteen);          // only SUM is scanned for zeros
  signal("SUM", Bytes(512, 0));     // 512 bytes or fewer: not scanned
  EXPECT_THAT(captured.err, Not(HasSubstr("Zeros")));
  EXPECT_EQ(state.corruptedBlocks(), 1u);
}

TEST_F(SignalChecksTest, SumIsComparedWithTheLatestFpgaCopy) {
  start(5);
  // 8 x 16 samples after a 40-byte prefix; the copy holds the same words.
  Bytes payload = samples(40 + 512);
  Bytes copy(512, 0);
  for (uint32_t i = 0; i < 128; ++i) {
    putU32(payload, 40 + 4 * i, i + 1);
    putU32(copy, 4 * i, i + 1);
  }
  state.copies().takeSignalCopy(copy);
  signal("SUM", payload);
  EXPECT_THAT(captured.err, Not(HasSubstr("FPGA")));

  putU32(payload, 40 + 4 * 37, 0x99);
  putU32(payload, 40 + 4 * 40, 0x98);  // only the first difference is reported
  signal("SUM", payload);
  signal("DAZ", payload);  // only SUM is compared
  EXPECT_EQ(count("FPGA"), 1u);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): FPGA[8,16]->DSP "
                                      "mismatch @37 [2,5] 0x26 != 0x99\n"));
  EXPECT_EQ(state.corruptedBlocks(), 0u);  // a difference is not damage

  captured.err.clear();
  // Half the samples: the buffer still holds the older second half.
  state.copies().takeSignalCopy(std::span<const uint8_t>(copy).first(256));
  putU32(payload, 40 + 4 * 37, 38);
  putU32(payload, 40 + 4 * 40, 41);
  signal("SUM", payload);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): FPGA[8,16] too small "
                                      "256\n"));
  EXPECT_THAT(captured.err, Not(HasSubstr("mismatch")));
}

TEST_F(SignalChecksTest, ComparisonRunsOverTheWholeMatrixPastAShortCopyOrBlock) {
  start(5);
  Bytes copy(512, 0);
  Bytes payload = samples(40 + 512);
  for (uint32_t i = 0; i < 128; ++i) {
    putU32(payload, 40 + 4 * i, i + 1);
    putU32(copy, 4 * i, i + 1);
  }
  // A fresh buffer reads 0 past the copy.
  state.copies().takeSignalCopy(std::span<const uint8_t>(copy).first(256));
  signal("SUM", payload);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): FPGA[8,16] too small "
                                      "256\n"));
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): FPGA[8,16]->DSP "
                                      "mismatch @64 [4,0] 0x0 != 0x41\n"));

  // A block that ends inside the matrix: its missing samples read as 0.
  captured.err.clear();
  state.copies().takeSignalCopy(copy);
  payload.resize(40 + 400);
  signal("SUM", payload);
  EXPECT_THAT(captured.err, HasSubstr("tarsel-E[rec01.dat]: SUM 1010(10): FPGA[8,16]->DSP "
                                      "mismatch @100 [6,4] 0x65 != 0x0\n"));
}

TEST_F(SignalChecksTest, ComparisonOfTinyBlocksStopsWhereNoCopyEverFilledTheBuffer) {
  // A damaged header copy claims a huge matrix; a damaged record then carries thousands of
  // "SUM" blocks without samples. Past the block and past what any F-SUM copy filled both
  // sides read 0, so the walk ends there instead of crossing the whole 4 MiB buffer for each
  // block (which took minutes for a few megabytes of such blocks).
  start(5);
  decodeBlocks({dspHeaderBlock({{24, firstBatch}, {26, 4096}, {27, 4096}})});
  state.copies().takeSignalCopy(Bytes(256, 0));
  std::vector<Bytes> blocks(20000, soft_test::sblock("SUM", {}, Words{.w10 = firstBatch}));
  captured.err.clear();
  auto start = std::chrono::steady_clock::now();
  decodeBlocks(blocks);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_EQ(count("FPGA[4096,4096] too small 256\n"), blocks.size());
  EXPECT_EQ(count("mismatch"), 0u);
}

TEST_F(SignalChecksTest, WithoutAnFpgaCopyNothingIsCompared) {
  start(5);
  Bytes payload = samples(40 + 512);
  signal("SUM", payload);
  EXPECT_THAT(captured.err, Not(HasSubstr("FPGA")));
}

TEST_F(SignalChecksTest, DamagedRecordsAreReadOnlyWithinTheirBlocks) {
  // Run under the sanitizers: any read past a block or a buffer shows there.
  start(21);
  msg::set_threshold(8);  // thousands of findings; only the reads matter here
  state.copies().takeSignalCopy(Bytes(600, 0));
  Bytes rx(4260, 0x5A), tx(8224, 0x5A), sum = samples(700);
  embedBlock(sum, 600, "CDPSTS", 3);
  Bytes record = softRecord(
      {soft_test::sblock("D1553", d1553(Bus{})), soft_test::sblock("CDPSTS", cdpsts(Status{})),
       dspHeaderBlock({{26, 400}, {27, 400}}, {{"CMPC", compression(9, 0, 1)},
                                               {"SARR", Bytes(300, 0x41)}}),
       soft_test::sblock("AESATX", tx), soft_test::sblock("AESARX", rx),
       soft_test::sblock("SUM", sum), soft_test::sblock("GUARD", samples(64))});
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245 + 12345, seed >> 8; };
  for (int round = 0; round < 1500; ++round) {
    Bytes damaged = record;
    for (int k = 0; k < 20; ++k) damaged[32 + next() % (damaged.size() - 32)] = uint8_t(next());
    damaged.resize(damaged.size() - next() % 64);
    putU32(damaged, 20, uint32_t(damaged.size() - 32));  // the record still holds its chunk
    decode(damaged);
  }
  EXPECT_GT(state.statistics().groups.at("PP").count, 1500u * 4);  // most blocks were reached
}

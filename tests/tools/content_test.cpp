// tarsel-synth: what the flows carry, read at the offsets the converter's consumers use.
#include <cmath>

#include "synth_fixture.h"

namespace {

constexpr double radToDeg = 57.29577951308232;

uint32_t word(const Cycle& c, uint32_t n) { return u32(c.data.data() + 4 * n); }

// A 32-bit bus value of the navigation block: two 16-bit words, high half first.
int32_t busValue(const uint8_t* p) { return static_cast<int32_t>(u16(p) << 16 | u16(p + 2)); }

class SynthContent : public ::testing::Test {
 protected:
  void write(synth::Scenario s) {
    manifest = synthesise(s);
    cycles = readCycles(wholeStream(manifest));
  }
  std::vector<const Cycle*> soft(const std::string& first, const std::string& flow = "SOFT") {
    std::vector<const Cycle*> out;
    for (const Cycle* c : cyclesOf(cycles, flow))
      if (firstSBlock(*c) == first) out.push_back(c);
    return out;
  }
  TempDir dir;
  synth::Manifest manifest;
  std::vector<Cycle> cycles;
};

TEST_F(SynthContent, FirmwareHeaderCarriesBatchTimeGeometryAndPosition) {
  synth::Scenario s = smallScenario(dir, 30);
  s.antennaDelay = 1;
  write(s);
  auto headers = cyclesOf(cycles, "F-HDR");
  auto display = cyclesOf(cycles, "DISPHEADER");
  ASSERT_EQ(headers.size(), 30u);
  ASSERT_EQ(display.size(), 30u);
  for (uint32_t i = 0; i < headers.size(); ++i) {
    const Cycle& h = *headers[i];
    EXPECT_EQ(h.data.size(), 4096u);
    EXPECT_EQ(std::memcmp(h.data.data() + 16, "HDR0", 4), 0);
    EXPECT_EQ(word(h, 24), 1000 + i);
    EXPECT_EQ(word(h, 25), 0x100000 + i * 625);  // 40 ms in 64 us ticks
    EXPECT_EQ(word(h, 26), 8u);
    EXPECT_EQ(word(h, 27), 64u);
    EXPECT_EQ(word(h, 34), 4u);  // rws
    EXPECT_EQ(word(h, 89), 37800 + i * 40 / 1000);
    EXPECT_EQ(word(h, 112), i ? word(*headers[i - 1], 25) : word(h, 25));  // one batch late
    EXPECT_EQ(h.data, display[i]->data);
  }
  const Cycle& last = *headers.back();
  EXPECT_NEAR(f32(last.data.data() + 4 * 102) * radToDeg, 45.4, 0.01);
  EXPECT_NEAR(f32(last.data.data() + 4 * 103) * radToDeg, 9.2, 0.01);
  EXPECT_GT(f32(last.data.data() + 4 * 102), f32(headers[0]->data.data() + 4 * 102));  // flying north-east
  // Header length word and the extension records behind the header.
  EXPECT_EQ(word(last, 13), 1380u);
  EXPECT_EQ(std::memcmp(last.data.data() + 1424, "EXT CMPC", 8), 0);
  EXPECT_EQ(u32(last.data.data() + 1424 + 12), 620u);
  EXPECT_EQ(std::memcmp(last.data.data() + 1424 + 16 + 620, "EXT SARR", 8), 0);
}

TEST_F(SynthContent, SoftwareHeaderCopyStartsAtDataWord25WithItsExtensionRecords) {
  write(smallScenario(dir));
  auto copies = soft("DSPHDRIN");
  auto headers = cyclesOf(cycles, "F-HDR");
  ASSERT_EQ(copies.size(), 6u);
  for (size_t i = 0; i < copies.size(); ++i) {
    const Cycle& c = *copies[i];
    EXPECT_EQ(std::memcmp(c.data.data() + 68, "DSPHDRIN", 8), 0);
    EXPECT_EQ(std::memcmp(c.data.data(), "\x5A\x5A\x5A\x5A\x5A\x5A\x5A\x5A", 8), 0);
    // The copy equals the firmware header of the batch, word for word.
    EXPECT_EQ(std::memcmp(c.data.data() + 100, headers[i]->data.data(), 1424), 0);
    EXPECT_EQ(word(c, 49), 1000 + i);
    EXPECT_EQ(word(c, 50), word(*headers[i], 25));
    // The decoder's extended read: header length H at copy byte 52, records H + 44 bytes in.
    uint32_t size = u32(c.data.data() + 20) - 128;
    uint32_t h = u32(c.data.data() + 100 + 52);
    const uint8_t* ext = c.data.data() + 100 + h + 44;
    EXPECT_EQ(std::memcmp(ext, "EXT CMPC", 8), 0);
    EXPECT_EQ(std::memcmp(ext + 16 + u32(ext + 12), "EXT SARR", 8), 0);
    EXPECT_EQ(u32(ext + 16 + 8), 3u);  // scale index of 40 NM
    EXPECT_EQ(std::memcmp(c.data.data() + 144 + size, "\xA5\xA5\xA5\xA5\xA5\xA5\xA5\xA5", 8), 0);
    EXPECT_EQ(152 + size, c.data.size());  // the stream fills the cycle exactly
  }
}

TEST_F(SynthContent, NavigationAndStatusBlocksFollowTheFlight) {
  synth::Scenario s = smallScenario(dir, 50);
  s.heading = 90;
  s.speed = 250;
  s.modes = {{21, 7, 0}};  // sar, agr_long
  write(s);
  auto nav = soft("D1553");
  ASSERT_EQ(nav.size(), 50u);
  const Cycle& first = *nav.front();
  const Cycle& last = *nav.back();
  EXPECT_EQ(std::memcmp(first.data.data() + 68, "D155\x33\0\0\0", 8), 0);
  EXPECT_EQ(static_cast<uint32_t>(busValue(first.data.data() + 144)), 0x100000u);  // tt64
  EXPECT_EQ(u16(first.data.data() + 196) * 2u, 37800u);
  EXPECT_EQ(u16(first.data.data() + 194), (17 << 10) | (5 << 6));
  EXPECT_NEAR(static_cast<int16_t>(u16(first.data.data() + 380)) * 0.005493168, 90.0, 0.01);
  EXPECT_NEAR(u16(first.data.data() + 394) * 1.2192, 3000.0, 1.0);
  double lat0 = busValue(first.data.data() + 422) * 8.381898e-08, lat1 = busValue(last.data.data() + 422) * 8.381898e-08;
  double lon0 = busValue(first.data.data() + 426) * 8.381898e-08, lon1 = busValue(last.data.data() + 426) * 8.381898e-08;
  EXPECT_NEAR(lat0, 45.4, 1e-6);
  EXPECT_NEAR(lat1, lat0, 1e-5);  // due east
  // 49 batches of 40 ms at 250 m/s: 490 m of longitude at 45.4 degrees north.
  EXPECT_NEAR((lon1 - lon0) * 111195.0 * std::cos(45.4 / radToDeg), 490.0, 2.0);
  EXPECT_NEAR(busValue(first.data.data() + 444) * 1.1627205e-6, 250.0, 0.01);  // vx: east
  EXPECT_EQ(u16(first.data.data() + 144 + 104) >> 12, 4u);  // sar has no bus mode of its own

  // The status block follows in the same cycle, ending it exactly.
  const uint8_t* status = first.data.data() + 1984;
  EXPECT_EQ(std::memcmp(status + 68, "CDPSTS", 7), 0);
  const uint8_t* payload = status + 144;
  EXPECT_EQ(u32(payload + 56), 0xFFFF0000u);  // the second section header
  EXPECT_EQ(u32(payload + 72), 1000u);
  EXPECT_EQ(u32(payload + 76), 0x100000u);
  EXPECT_EQ(u32(payload + 120), 21u);
  EXPECT_EQ(u32(payload + 148), 7u);
  EXPECT_EQ(u32(payload + 152), 0u);
  EXPECT_LT(u32(payload + 332), 5u);
  EXPECT_EQ(1984 + 152 + u32(status + 20) - 128, first.data.size());
  EXPECT_EQ(word(*cyclesOf(cycles, "F-HDR")[0], 33), 21u);
}

TEST_F(SynthContent, SignalCopiesMatchTheFirmwareMatrixOfTheirBatch) {
  write(smallScenario(dir));
  auto sum = cyclesOf(cycles, "F-SUM");
  auto daz = cyclesOf(cycles, "F-DAZ");
  auto copies = soft("SUM");
  ASSERT_EQ(copies.size(), 5u);  // a batch's copy goes out with the next batch; the last one is not written
  EXPECT_EQ(soft("DAZ").size(), 5u);
  const uint32_t matrix = 8 * 64 * 4;
  for (size_t i = 0; i < copies.size(); ++i) {
    const Cycle& c = *copies[i];
    uint32_t size = u32(c.data.data() + 20) - 128;
    EXPECT_EQ(size, matrix + 56);
    EXPECT_EQ(u32(c.data.data() + 40), 1000 + i);  // block word 10: the batch
    EXPECT_EQ(std::memcmp(c.data.data() + 144 + 40, sum[i]->data.data(), matrix), 0);
    EXPECT_EQ(std::memcmp(soft("DAZ")[i]->data.data() + 144 + 40, daz[i]->data.data(), matrix), 0);
    EXPECT_NE(std::memcmp(sum[i]->data.data(), daz[i]->data.data(), matrix), 0);
    // No S-Block marker and no run of zero words among the samples.
    const uint8_t* p = c.data.data() + 144;
    for (uint32_t k = 16; k + 32 < size; ++k) ASSERT_NE(u32(p + k), 0x5A5A5A5Au) << k;
    for (uint32_t k = 32; k + 4 <= size; k += 4) ASSERT_NE(u32(p + k), 0u) << k;
  }
  EXPECT_NE(sum[0]->data, sum[1]->data);  // the picture moves from batch to batch
}

TEST_F(SynthContent, ModesWaveformsAndStandbyPeriods) {
  synth::Scenario s = smallScenario(dir, 8);
  ASSERT_EQ(synth::applyOption(s, "modes", "rws/mprf:2,gm/lprf:3"), "");
  ASSERT_EQ(synth::applyOption(s, "standby", "4:5"), "");
  write(s);
  EXPECT_EQ(manifest.batchNumbers, (std::vector<uint32_t>{1000, 1001, 1002, 1003, 1009, 1010, 1011, 1012}));
  auto headers = cyclesOf(cycles, "F-HDR");
  std::vector<uint32_t> modes;
  for (const Cycle* h : headers) modes.push_back(word(*h, 34));
  EXPECT_EQ(modes, (std::vector<uint32_t>{4, 4, 2, 2, 2, 4, 4, 2}));
  EXPECT_EQ(word(*headers[4], 25) - word(*headers[3], 25), 6u * 625);  // time runs on in standby
  // The batch before the standby says so in "EXT CMPC" (standby 1, radiating 0).
  const uint8_t* cmpc = headers[3]->data.data() + 1424 + 16;
  EXPECT_EQ(u32(cmpc + 24), 1u);
  EXPECT_EQ(u32(cmpc + 28), 0u);
  EXPECT_EQ(u32(headers[4]->data.data() + 1424 + 16 + 24), 0u);
  auto status = soft("D1553");
  EXPECT_EQ(u32(status[2]->data.data() + 1984 + 144 + 148), 1u);  // lprf
}

TEST_F(SynthContent, AesaProgrammingTimerAndSynthesizerAgreeBatchByBatch) {
  synth::Scenario s = smallScenario(dir, 3);
  s.beams = 5;
  write(s);
  auto tx = soft("AESATX", "SOFTDFE");
  auto rx = soft("AESARX", "SOFTDFE");
  auto timer = cyclesOf(cycles, "TIMER");
  auto ext = cyclesOf(cycles, "EXTLINK");
  ASSERT_EQ(tx.size(), 3u);
  ASSERT_EQ(rx.size(), 3u);
  for (size_t b = 0; b < 3; ++b) {
    // Commands: marker, length word, bytes four to a word (first byte most significant).
    const uint8_t* dump = tx[b]->data.data() + 176;
    std::vector<uint32_t> programmed;
    uint32_t markers = 0;
    for (uint32_t w = 0; u32(dump + 4 * w) != 0xA5A5A5A5u; ++w) {
      if (u32(dump + 4 * w) != 0x5A5A5A5Au) continue;
      ++markers;
      uint32_t length = u32(dump + 4 * w + 4);
      if (length == 0x001F028Au || length == 0x001F028Bu) {
        uint32_t w0 = u32(dump + 4 * w + 8);
        EXPECT_EQ(w0 >> 24, 0x82u);  // BEAM
        programmed.push_back((w0 & 0xFF) | (u32(dump + 4 * w + 12) >> 24) << 8);
      }
    }
    EXPECT_EQ(markers, 10u);
    ASSERT_EQ(programmed.size(), 5u);
    // The synthesizer repeats all but the last beam's value as a frequency.
    const Cycle& e = *ext[b];
    std::vector<uint32_t> synthesizer;
    for (uint32_t w = 8; w < 1024 && word(e, w) != 0xA5A5A5A5u; ++w)
      if (word(e, w) == 0x5A5A5A5Au && (word(e, w + 1) & 0xFF) == 0xA1)
        for (uint32_t k = 0; k < word(e, w + 3); ++k) synthesizer.push_back(word(e, w + 4 + k) / 250000 - 3920);
    EXPECT_EQ(synthesizer, std::vector<uint32_t>(programmed.begin(), programmed.end() - 1));
    // Timer: 5 entries, 2 delays set, 4 programming times none of them late.
    const Cycle& t = *timer[b];
    EXPECT_EQ(word(t, 0), 0x12345678u);
    EXPECT_EQ(std::memcmp(t.data.data() + 16, "EMIT", 4), 0);
    EXPECT_EQ(u16(t.data.data() + 48), 5u);
    EXPECT_EQ(u16(t.data.data() + 50), 2u);
    EXPECT_EQ(word(t, 34), 0xFFFFFu);
    for (uint32_t k = 1; k <= 4; ++k) EXPECT_GE(word(t, 1280 + k) - word(t, 1280), word(t, 33));
    // Responses end with a status word whose length fits; no PRI error.
    const uint8_t* r = rx[b]->data.data() + 144;
    EXPECT_LT(static_cast<int32_t>(u32(r + 32)), 0);
    EXPECT_EQ(u32(r + 76), 0x5A5A5A5Au);
    EXPECT_EQ(u32(r + 80) >> 24, 0x70u);  // CTISTS
    EXPECT_EQ(u32(r + 88), 6u << 16);
  }
}

TEST_F(SynthContent, VideoFramesCountUpAndChange) {
  write(smallScenario(dir, 6));
  auto frames = cyclesOf(cycles, "VIDEO");
  ASSERT_EQ(frames.size(), 3u);
  for (uint32_t i = 0; i < frames.size(); ++i) {
    const Cycle& f = *frames[i];
    EXPECT_EQ(f.data.size(), 1285u * 256);  // 1100 + 640 * 512, in whole blocks, far below 2 MiB
    EXPECT_EQ(word(f, 0), i + 1);
    EXPECT_EQ(word(f, 1), 640u);
    EXPECT_EQ(word(f, 2), 512u);
    EXPECT_EQ(word(f, 3), 640u);
    EXPECT_EQ(word(f, 19 + 255), 0x00FFFFFFu);  // palette entry 255 at byte 76 + 4 * 255
  }
  EXPECT_NE(std::memcmp(frames[0]->data.data() + 1100, frames[1]->data.data() + 1100, 640 * 512), 0);
}

}  // namespace

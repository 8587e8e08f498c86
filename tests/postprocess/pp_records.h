// Builders for the software blocks the post-process tables read, and a fixture that runs a
// PostProcessState behind a real decoder in a temporary working directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/test_outputs.h"
#include "post_process_state.h"
#include "soft/soft_records.h"
#include "support/recording.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace pp_test {

using soft_test::Extension;
using soft_test::Words;

inline void put16(Bytes& bytes, size_t offset, uint16_t value) {
  bytes[offset] = uint8_t(value);
  bytes[offset + 1] = uint8_t(value >> 8);
}

inline void putFloat(Bytes& bytes, size_t offset, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  putU32(bytes, offset, bits);
}

inline uint32_t wordOf(const uint8_t* bytes, size_t word) {
  uint32_t value;
  std::memcpy(&value, bytes + 4 * word, 4);
  return value;
}

/// The fields of a "D1553" payload that the history reads.
struct Bus {
  uint16_t time = 0;      // 2-second units
  uint16_t mode = 0;      // bits 12-15 bus mode, bit 6 standby
  int16_t heading = 0;
  int16_t azimuth = 0;
  uint16_t altitude = 0;
  int32_t latitude = 0;
  int32_t longitude = 0;
};

inline Bytes d1553(const Bus& bus, size_t size = 1832) {
  Bytes p(size, 0);
  put16(p, 52, bus.time);
  put16(p, 104, bus.mode);
  put16(p, 236, uint16_t(bus.heading));
  put16(p, 250, bus.altitude);
  put16(p, 278, uint16_t(uint32_t(bus.latitude) >> 16));
  put16(p, 280, uint16_t(bus.latitude));
  put16(p, 282, uint16_t(uint32_t(bus.longitude) >> 16));
  put16(p, 284, uint16_t(bus.longitude));
  put16(p, 312, uint16_t(bus.azimuth));
  return p;
}

/// The fields of a "CDPSTS" payload that the history reads.
struct Status {
  uint32_t batch = 0, tag = 0, mode = 0, rad = 0, waveform = 0, health = 0, detections = 0;
};

inline Bytes cdpsts(const Status& s) {
  Bytes p(1680, 0);
  putU32(p, 72, s.batch);
  putU32(p, 76, s.tag);
  putU32(p, 120, s.mode);
  putU32(p, 136, s.rad);
  putU32(p, 148, s.waveform);
  putU32(p, 152, s.health);
  putU32(p, 332, s.detections);
  return p;
}

/// An "EXT CMPC" payload.
inline Bytes compression(uint32_t scale, uint32_t standby, uint32_t radiating) {
  Bytes p(620, 0);
  putU32(p, 8, scale);
  putU32(p, 24, standby);
  putU32(p, 28, radiating);
  return p;
}

/// DSP header words the tests set (word index, value).
struct HeaderWord {
  size_t word;
  uint32_t value;
};

/// The "DSPHDRIN" S-Block of a 1424-byte DSP header (length word 13 = 1380) with `words` set,
/// followed by the records: the S-Block header holds the copy's first 44 bytes, the payload
/// the rest.
inline Bytes dspHeaderBlock(const std::vector<HeaderWord>& words,
                            const std::vector<Extension>& records = {}) {
  Bytes header = soft_test::extendedHeader(1380, records);
  for (const auto& w : words) putU32(header, 4 * w.word, w.value);
  Bytes block = soft_test::sblock("DSPHDRIN", Bytes(header.begin() + 44, header.end()));
  std::memcpy(block.data() + 100, header.data(), 44);
  return block;
}

/// A SOFT record carrying the given S-Blocks back to back.
inline Bytes softRecord(const std::vector<Bytes>& sblocks, uint8_t sourceId = 0x53) {
  Bytes stream;
  for (const auto& block : sblocks) append(stream, block);
  return soft_test::chunk("SOFT", stream, sourceId);
}

/// The lines of a text file.
inline std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = slurp(path), line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

/// A PostProcessState behind a real decoder, run in a fresh working directory with the
/// context "rec01.dat"; messages are captured with the program name "tarsel".
class PostProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previousDir = cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    msg::init("tarsel", 0);
    msg::set_context("rec01.dat");
  }
  void TearDown() override {
    install_logger(nullptr);
    ASSERT_EQ(chdir(previousDir.c_str()), 0);
  }

  void setUp(int32_t level) { state.setUpPostProcess(level); }
  /// Decodes the record as the save step does: writable, so that /fixhr reaches it.
  void decode(Bytes& record, uint32_t sourceId = 0x53, const char* sourceName = "EIF") {
    state.decodeRecord(sourceId, sourceName, std::span<uint8_t>(record));
  }
  void decode(Bytes&& record, uint32_t sourceId = 0x53, const char* sourceName = "EIF") {
    decode(record, sourceId, sourceName);
  }
  void decodeBlocks(const std::vector<Bytes>& sblocks) { decode(softRecord(sblocks)); }
  std::vector<std::string> historyLines() { flush(); return linesOf(dir.file("pp-rec01.dat.txt")); }
  std::vector<std::string> aesaLines() { flush(); return linesOf(dir.file("pp-aesa-rec01.dat.txt")); }
  /// What the end report writes.
  std::string report() {
    captured.err.clear();
    msg::set_context(nullptr);
    state.reportPostProcess();
    return captured.err;
  }

  TempDir dir;
  std::string previousDir;
  CapturedMessages captured{0};
  SoftDecoder decoder;
  std::string lastSourceName;
  PostProcessState state{decoder, lastSourceName, testOutputs()};

 private:
  static void flush() { std::fflush(nullptr); }
};

}  // namespace pp_test

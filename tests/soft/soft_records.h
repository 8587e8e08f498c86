// Builders for software-recorded data in memory: S-Blocks, destination records (chunks) and
// headers with "EXT " records, plus a fixture that captures the decoder's "PP: " lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "commandline/messages.h"
#include "format/format.h"
#include "soft/soft.h"
#include "support/test_support.h"

namespace soft_test {

using Bytes = std::vector<uint8_t>;

inline void putU32(Bytes& bytes, size_t offset, uint32_t value) {
  format::putU32At(bytes, offset, value);
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes filled(size_t count, uint8_t value) { return Bytes(count, value); }

struct Words {
  uint32_t w9 = 0, w10 = 0, w11 = 0, w13 = 0, w14 = 0;
};

/// One S-Block: start marker, 136 header bytes (size at 20, words, name at 68), data, end marker.
inline Bytes sblock(const std::string& name, const Bytes& data, Words words = {}) {
  Bytes block(144, 0);
  std::memset(block.data(), 0x5A, 8);
  putU32(block, 20, uint32_t(128 + data.size()));
  putU32(block, 36, words.w9);
  putU32(block, 40, words.w10);
  putU32(block, 44, words.w11);
  putU32(block, 52, words.w13);
  putU32(block, 56, words.w14);
  std::memcpy(block.data() + 68, name.data(), std::min<size_t>(name.size(), 16));
  return block + data + filled(8, 0xA5);
}

/// One destination record: marker, 24-byte header (name cut to 8), data.
inline Bytes chunk(const std::string& name, const Bytes& data, uint8_t sourceId = 0x53,
                   uint8_t sourceTag = 0x01) {
  Bytes record(format::RecordHeader::size, 0);
  format::RecordHeader::forRecord(name, 0, uint32_t(data.size()), sourceId, sourceTag)
      .write(std::span<uint8_t, format::RecordHeader::size>(record.data(), record.size()));
  return record + data;
}

struct Extension {
  std::string name;  // the four characters after "EXT "
  Bytes payload;
};

/// A header of length H (H + 44 bytes, H at byte 52) followed by "EXT " records.
inline Bytes extendedHeader(uint32_t headerLength, const std::vector<Extension>& records) {
  Bytes bytes(headerLength + 44, 0);
  putU32(bytes, 52, headerLength);
  for (const auto& record : records) {
    Bytes head(16, 0);
    std::memcpy(head.data(), ("EXT " + record.name).data(), 8);
    putU32(head, 8, 7);
    putU32(head, 12, uint32_t(record.payload.size()));
    bytes = bytes + head + record.payload;
  }
  return bytes;
}

/// A decoder at post-processing level -1 whose "PP: " lines are captured with the program name.
class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg::init("tarsel", 0);
    install_logger(&cmdio_logger());
    decoder.setPostProcessLevel(-1);
  }
  void TearDown() override { install_logger(nullptr); }

  void decode(const Bytes& record, uint32_t sourceId = 0x53, const char* sourceName = "EIF") {
    decoder.decodeSoftRecord(sourceId, sourceName, record.data(), uint32_t(record.size()));
  }

  CapturedMessages captured{0};
  SoftDecoder decoder;
};

}  // namespace soft_test

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "playback/playback.h"

namespace {

std::array<uint8_t, 16> sixteenBytes() {
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i + 1);
  return bytes;
}

// A reader that only has the abstract operations: every base behaviour shows through.
class BareReader : public VeloxPlaybackStreamReader {
 public:
  const char* name() const override { return "bare"; }
  const char* setPath(const char* path) override { return path; }
  bool open(const char*) override { return true; }
  bool isOpen() const override { return true; }
  void setLoop(bool) override {}
  int32_t read(void* destination, uint32_t length) override {
    if (length > 4) return -1;
    std::memcpy(destination, "\x78\x56\x34\x12", length);
    return int32_t(length);
  }
  uint64_t tell() const override { return 0; }
  int seek(uint64_t) override { return 0; }
  int skip(uint64_t) override { return 0; }
};

// Counts the seeks that skip and rewind make through the virtual table.
class CountingMemoryReader : public VeloxPlaybackReaderMemory {
 public:
  using VeloxPlaybackReaderMemory::VeloxPlaybackReaderMemory;
  int seek(uint64_t target) override {
    seeks.push_back(target);
    return VeloxPlaybackReaderMemory::seek(target);
  }
  std::vector<uint64_t> seeks;
};

TEST(MemoryReader, SixteenByteBufferReadsTwiceThenFailsAtTheEnd) {
  auto bytes = sixteenBytes();
  VeloxPlaybackReaderMemory reader(bytes.data(), bytes.size());
  uint8_t out[8];
  EXPECT_EQ(reader.read(out, 8), 8);
  EXPECT_EQ(out[0], 1);
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.read(out, 8), 8);
  EXPECT_EQ(out[7], 16);
  EXPECT_EQ(reader.read(out, 8), -1);
  EXPECT_EQ(reader.tell(), 16u);
  EXPECT_TRUE(reader.atEnd());
}

TEST(MemoryReader, SeekToExactlyTheSizeFails) {
  auto bytes = sixteenBytes();
  VeloxPlaybackReaderMemory reader(bytes.data(), bytes.size());
  EXPECT_NE(reader.seek(16), 0);
  EXPECT_EQ(reader.tell(), 0u);
  EXPECT_EQ(reader.seek(15), 0);
  EXPECT_EQ(reader.tell(), 15u);
  EXPECT_NE(reader.seek(uint64_t(-8)), 0);  // negative as a signed value
  EXPECT_EQ(reader.tell(), 15u);
}

TEST(MemoryReader, FailedReadsLeaveThePositionWhereItWas) {
  auto bytes = sixteenBytes();
  VeloxPlaybackReaderMemory reader(bytes.data(), bytes.size());
  ASSERT_EQ(reader.seek(10), 0);
  uint8_t out[8];
  EXPECT_EQ(reader.read(nullptr, 4), -1);
  EXPECT_EQ(reader.read(out, 7), -1);
  EXPECT_EQ(reader.read(out, 0xFFFFFFFFu), -1);  // the 64-bit sum does not wrap
  EXPECT_EQ(reader.tell(), 10u);
  EXPECT_EQ(reader.read(out, 6), 6);
  EXPECT_EQ(out[0], 11);
}

TEST(MemoryReader, PointerAtAddressesTheBuffer) {
  auto bytes = sixteenBytes();
  VeloxPlaybackReaderMemory reader(bytes.data(), bytes.size());
  EXPECT_EQ(reader.pointerAt(4), bytes.data() + 4);
  EXPECT_EQ(reader.pointerAt(16), bytes.data() + 16);
  EXPECT_EQ(reader.pointerAt(17), nullptr);
  EXPECT_EQ(VeloxPlaybackReaderMemory().pointerAt(0), nullptr);
}

TEST(MemoryReader, SkipAndRewindSeekThroughTheVirtualTable) {
  auto bytes = sixteenBytes();
  CountingMemoryReader reader(bytes.data(), bytes.size());
  ASSERT_EQ(reader.skip(6), 0);
  EXPECT_EQ(reader.skip(uint64_t(-2)), 0);  // a step back wraps to position 4
  EXPECT_NE(reader.skip(12), 0);            // 16: refused
  reader.rewind();
  EXPECT_EQ(reader.seeks, (std::vector<uint64_t>{6, 4, 16, 0}));
  EXPECT_EQ(reader.tell(), 0u);

  CountingMemoryReader empty;
  empty.position = 3;
  empty.rewind();
  EXPECT_EQ(empty.seeks, std::vector<uint64_t>{0});
  EXPECT_EQ(empty.tell(), 3u);  // an empty reader refuses even position 0
}

TEST(MemoryReader, NamesAndLabels) {
  VeloxPlaybackReaderMemory reader;
  EXPECT_STREQ(reader.name(), "memory");
  EXPECT_EQ(reader.label, "memory");
  EXPECT_STREQ(reader.setPath("rec01.dat"), "rec01.dat");
  EXPECT_EQ(reader.label, "rec01.dat");
  EXPECT_STREQ(reader.name(), "memory");
  EXPECT_TRUE(reader.open("x"));
  EXPECT_TRUE(reader.isOpen());
  EXPECT_FALSE(reader.hasError());
}

TEST(StreamReader, ReadU32IsLittleEndianAndZeroOnFailure) {
  const uint8_t bytes[6] = {0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB};
  VeloxPlaybackReaderMemory reader(bytes, sizeof bytes);
  EXPECT_EQ(reader.readU32(), 0x12345678u);
  EXPECT_EQ(reader.readU32(), 0u);
  EXPECT_EQ(reader.tell(), 4u);
}

TEST(StreamReader, BaseBehavioursMarkAReaderWithoutEndOrDirectAccess) {
  BareReader bare;
  EXPECT_TRUE(bare.atEnd());
  EXPECT_EQ(bare.pointerAt(0), nullptr);
  EXPECT_FALSE(bare.hasError());
  EXPECT_EQ(bare.readU32(), 0x12345678u);
}

}  // namespace

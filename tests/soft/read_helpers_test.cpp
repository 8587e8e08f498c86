#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "soft/soft.h"
#include "soft_records.h"

namespace {

using namespace soft_test;

// Handlers in the style of the post-processing: a header reader and extension readers.
struct HeaderReader {
  SoftDecoder* decoder = nullptr;
  std::array<uint8_t, 512> buffer{};
  size_t room = 512;
  bool shiftBack = false;  // the DSP header copy starts 44 bytes before the payload
  std::vector<std::string> events;
  std::vector<XinfoRecord> records;
  std::vector<Bytes> payloads;

  int onHeader(const BlockInfo& info) {
    BlockInfo block = info;
    if (shiftBack) {
      block.position -= 44;
      block.size += 44;
    }
    bool whole = decoder->readExtendedBlock(std::span<uint8_t>(buffer.data(), room), block);
    events.push_back(std::string(whole ? "header " : "no header ") + info.name);
    return 0;
  }
  int onExtension(const XinfoRecord& record) {
    records.push_back(record);
    Bytes payload(record.size);
    decoder->readBlock(std::span<uint8_t>(payload), record);
    payloads.push_back(payload);
    events.push_back(std::string("ext ") + record.name);
    return 0;
  }
};

class ExtendedBlocks : public DecoderTest {
 protected:
  void SetUp() override {
    DecoderTest::SetUp();
    reader.decoder = &decoder;
    decoder.registerBlockObserver("DISPHEAD", &reader, &HeaderReader::onHeader);
    decoder.registerBlockObserver("DSPHDRIN", &reader, &HeaderReader::onHeader);
    decoder.registerXinfoObserver("EXT CMPC", &reader, &HeaderReader::onExtension);
    decoder.registerXinfoObserver("EXT SARR", &reader, &HeaderReader::onExtension);
    decoder.setBlockCallback(
        [this](uint32_t, const char* name) { reader.events.push_back(std::string("cb ") + name); },
        0);
  }
  HeaderReader reader;
};

Bytes bytesFrom(uint8_t first, size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(first + i);
  return bytes;
}

// H = 100: a 144-byte header, then CMPC (32 bytes at 0xC0) and SARR (20 bytes at 0xF0);
// as a DISPHEADER record the block is 228 bytes and the record 0x104.
Bytes twoExtensions() {
  return extendedHeader(100, {{"CMPC", bytesFrom(1, 32)}, {"SARR", bytesFrom(100, 20)}});
}

TEST_F(ExtendedBlocks, HeaderWithTwoExtensionRecords) {
  Bytes block = twoExtensions();
  decode(chunk("DISPHEADER", block));
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: hdr read: 100 of 228 (128)\n"
            "tarsel-D: PP:   XINFO: 0x43504D43 32 0\n"
            "tarsel-D: PP: OBS: EXT CMPC c0\n"
            "tarsel-D: PP:   XINFO: 0x52524153 20 48\n"
            "tarsel-D: PP: OBS: EXT SARR f0\n");
  EXPECT_EQ(reader.events, (std::vector<std::string>{"ext EXT CMPC", "cb EXT CMPC",
                                                     "ext EXT SARR", "cb EXT SARR",
                                                     "header DISPHEAD", "cb DISPHEAD"}));
  ASSERT_EQ(reader.records.size(), 2u);
  EXPECT_EQ(reader.records[0].size, 32u);
  EXPECT_EQ(reader.records[0].position, 0xC0u);
  EXPECT_EQ(reader.records[1].position, 0xF0u);
  EXPECT_EQ(reader.payloads[0], bytesFrom(1, 32));
  EXPECT_EQ(reader.payloads[1], bytesFrom(100, 20));
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 144, reader.buffer.begin()));
}

TEST_F(ExtendedBlocks, ShiftedHeaderInsideAnSBlockLeavesTheStreamIntact) {
  reader.shiftBack = true;
  Bytes header = twoExtensions();
  Bytes payload(header.begin() + 44, header.end());
  decode(chunk("SOFT", sblock("DSPHDRIN", payload) + sblock("SUM", {})));
  EXPECT_EQ(reader.events, (std::vector<std::string>{"cb DSPHDRIN", "ext EXT CMPC", "cb EXT CMPC",
                                                     "ext EXT SARR", "cb EXT SARR",
                                                     "header DSPHDRIN", "cb SUM"}));
  EXPECT_EQ(captured.all.find("Missed"), std::string::npos) << captured.all;
  EXPECT_EQ(captured.all.find("overrun"), std::string::npos) << captured.all;
}

TEST_F(ExtendedBlocks, HeaderLengthOutsideTheBlockEndsTheWalk) {
  Bytes tooShort = twoExtensions();
  putU32(tooShort, 52, 40);
  decode(chunk("DISPHEADER", tooShort));
  Bytes tooLong = twoExtensions();
  putU32(tooLong, 52, 10000);
  decode(chunk("DISPHEADER", tooLong));
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: hdr read: 40 of 228 (188)\n"
            "tarsel-E: PP: hdr length 40 out of range (block 228, buffer 512)\n"
            "tarsel-D: PP: hdr read: 10000 of 228 (4294957524)\n"
            "tarsel-E: PP: hdr length 10000 out of range (block 228, buffer 512)\n");
  EXPECT_EQ(reader.events, (std::vector<std::string>{"no header DISPHEAD", "cb DISPHEAD",
                                                     "no header DISPHEAD", "cb DISPHEAD"}));
}

TEST_F(ExtendedBlocks, HeaderLargerThanTheDestinationIsNotRead) {
  reader.room = 140;
  decode(chunk("DISPHEADER", twoExtensions()));
  EXPECT_NE(
      captured.all.find("tarsel-E: PP: hdr length 100 out of range (block 228, buffer 140)\n"),
      std::string::npos)
      << captured.all;
  EXPECT_TRUE(reader.records.empty());
}

TEST_F(ExtendedBlocks, ExtensionLengthBeyondTheBlockEndsTheWalk) {
  Bytes block = twoExtensions();
  putU32(block, 144 + 48 + 12, 0xFFFFFFFF);
  decode(chunk("DISPHEADER", block));
  EXPECT_NE(captured.all.find(
                "tarsel-D: PP:   XINFO: 0x52524153 4294967295 48\n"
                "tarsel-E: PP: XINFO length 4294967295 beyond block @0xF0 (end 0x104)\n"),
            std::string::npos)
      << captured.all;
  EXPECT_EQ(reader.records.size(), 1u);
}

TEST_F(ExtendedBlocks, RecordThatIsNotAnExtensionStopsTheWalkQuietly) {
  Bytes block = twoExtensions();
  std::memcpy(block.data() + 144 + 48, "XXXX", 4);
  decode(chunk("DISPHEADER", block));
  EXPECT_EQ(reader.records.size(), 1u);
  EXPECT_EQ(captured.all.find("tarsel-E"), std::string::npos) << captured.all;
}

// Handlers that try each read helper on the block they are given.
struct HelperProbe {
  SoftDecoder* decoder = nullptr;
  BlockInfo info{};
  Bytes whole, prefix, small;
  bool wholeRead = false, prefixRead = false, smallRead = true, skipped = false, farRead = true;
  const uint8_t* pointer = nullptr;
  const uint8_t* farPointer = nullptr;

  int onBlock(const BlockInfo& block) {
    info = block;
    whole.assign(block.size, 0);
    wholeRead = decoder->readBlock(std::span<uint8_t>(whole), block);
    prefix.assign(4, 0);
    prefixRead = decoder->readBlock(prefix.data(), block, 4);
    small.assign(block.size - 1, 0);
    smallRead = decoder->readBlock(std::span<uint8_t>(small), block);
    skipped = decoder->readBlock(nullptr, block, 8);
    BlockInfo far = block;
    far.position += 4096;
    farRead = decoder->readBlock(whole.data(), far);
    pointer = decoder->blockPointer(block);
    far.position = block.position + 8;  // the block moved 8 bytes on no longer fits
    farPointer = decoder->blockPointer(far);
    return 0;
  }
};

TEST_F(DecoderTest, ReadHelpersStayInsideTheRecord) {
  HelperProbe probe;
  probe.decoder = &decoder;
  decoder.registerBlockObserver("TIMER", &probe, &HelperProbe::onBlock);
  Bytes record = chunk("TIMER", bytesFrom(10, 24));
  decode(record);
  EXPECT_TRUE(probe.wholeRead);
  EXPECT_EQ(probe.whole, bytesFrom(10, 24));
  EXPECT_TRUE(probe.prefixRead);
  EXPECT_EQ(probe.prefix, bytesFrom(10, 4));
  EXPECT_FALSE(probe.smallRead);
  EXPECT_TRUE(probe.skipped);
  EXPECT_FALSE(probe.farRead);
  EXPECT_EQ(probe.pointer, record.data() + 32);
  EXPECT_EQ(probe.farPointer, nullptr);
}

// A reader of another kind over the same bytes: only the abstract operations of its own, so
// it cannot tell its end and offers no direct access.
class ForwardingReader : public VeloxPlaybackStreamReader {
 public:
  explicit ForwardingReader(const Bytes& bytes) : inner(bytes.data(), bytes.size()) {}
  const char* name() const override { return "forwarding"; }
  const char* setPath(const char* path) override { return path; }
  bool open(const char*) override { return true; }
  bool isOpen() const override { return true; }
  void setLoop(bool) override {}
  int32_t read(void* destination, uint32_t length) override {
    return inner.read(destination, length);
  }
  uint64_t tell() const override { return inner.tell(); }
  int seek(uint64_t position) override { return inner.seek(position); }
  int skip(uint64_t delta) override { return inner.skip(delta); }
  VeloxPlaybackReaderMemory inner;
};

// The same with its own atEnd and pointerAt.
class KnowingReader : public ForwardingReader {
 public:
  using ForwardingReader::ForwardingReader;
  bool atEnd() override { return inner.atEnd(); }
  const uint8_t* pointerAt(uint64_t position) override { return inner.pointerAt(position); }
};

struct PointerProbe {
  SoftDecoder* decoder = nullptr;
  std::vector<const uint8_t*> pointers;
  int onBlock(const BlockInfo& info) {
    pointers.push_back(decoder->blockPointer(info));
    return 0;
  }
};

TEST_F(DecoderTest, OtherReadersAreTrustedForTheirEndAndDirectAccessOnlyWithTheirOwn) {
  PointerProbe probe{&decoder, {}};
  decoder.registerBlockObserver("SUM", &probe, &PointerProbe::onBlock);
  Bytes record = chunk("SOFT", sblock("SUM", filled(8, 1))) + filled(4, 0);  // stops short
  ForwardingReader forwarding(record);
  decoder.setSoftReader(&forwarding);
  decode(record);
  KnowingReader knowing(record);
  decoder.setSoftReader(&knowing);
  decode(record);
  decoder.setSoftReader(nullptr);
  EXPECT_EQ(probe.pointers, (std::vector<const uint8_t*>{nullptr, record.data() + 0xB0}));
  EXPECT_EQ(captured.all,
            "tarsel-D: PP: S-Block: SUM\n"
            "tarsel-D: PP: OBS: SUM b0\n"
            "tarsel-D: PP: S-Block: SUM\n"
            "tarsel-D: PP: OBS: SUM b0\n"
            "tarsel-E: PP: EOF?\n");
}

TEST(BlockInfoFromRaw, TakesTheFiveWordsOfARecordedSBlock) {
  Bytes raw = sblock("GUARD", {}, {9, 10, 11, 13, 14});
  BlockInfo info;
  std::memset(&info, 0xEE, sizeof info);
  SoftDecoder::blockInfoFromRaw(&info, raw.data());
  EXPECT_EQ(info.isSBlock, 1u);
  EXPECT_EQ(info.word9, 9u);
  EXPECT_EQ(info.word10, 10u);
  EXPECT_EQ(info.word11, 11u);
  EXPECT_EQ(info.word13, 13u);
  EXPECT_EQ(info.word14, 14u);
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(info.position, 0u);
  EXPECT_STREQ(info.name, "");

  BlockInfo untouched{};
  EXPECT_FALSE(SoftDecoder::blockInfoFromRaw(&untouched, std::span<const uint8_t>(raw.data(), 59)));
  EXPECT_EQ(untouched.isSBlock, 0u);
  EXPECT_TRUE(SoftDecoder::blockInfoFromRaw(&untouched, std::span<const uint8_t>(raw.data(), 60)));
  EXPECT_EQ(untouched.word14, 14u);
}

}  // namespace

// Every input kept for the fuzzer (seeds and any damaged record that once failed) must decode
// to its end under the test build's checks.
TEST_F(DecoderTest, FuzzCorpusRecordsDecodeToTheirEnd) {
  namespace fs = std::filesystem;
  fs::path folder = fs::path(TARSEL_SOURCE_DIR) / "fuzz" / "corpus" / "soft_decoder";
  ASSERT_TRUE(fs::is_directory(folder));
  HeaderReader reader;
  reader.decoder = &decoder;
  decoder.registerBlockObserver("DISPHEAD", &reader, &HeaderReader::onHeader);
  decoder.registerXinfoObserver("EXT CMPC", &reader, &HeaderReader::onExtension);
  int decoded = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    Bytes record((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    decode(record);
    ++decoded;
  }
  EXPECT_GE(decoded, 4);
  EXPECT_FALSE(reader.records.empty());
}

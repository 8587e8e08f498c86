// AESA catalogue: names of the codes and decoding of crafted command and response dumps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "aesa_catalogue.h"

namespace {

// Builds a dump word by word; message bytes go four to a word, the first in the top byte.
class DumpBuilder {
 public:
  DumpBuilder& word(uint32_t w) {
    words_.push_back(w);
    return *this;
  }
  DumpBuilder& message(const std::vector<uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      uint32_t w = 0;
      for (std::size_t j = 0; j < 4; ++j) {
        uint32_t b = i + j < bytes.size() ? bytes[i + j] : 0;
        w |= b << (8 * (3 - j));
      }
      word(w);
    }
    return *this;
  }
  DumpBuilder& command(const std::vector<uint8_t>& bytes, uint32_t lowBits = 0) {
    word(aesaMarker).word(static_cast<uint32_t>(bytes.size()) << 16 | lowBits);
    return message(bytes);
  }
  // A response of whole words; `length` goes into bits 16-31 of the status word.
  DumpBuilder& response(const std::vector<uint8_t>& bytes, uint32_t length, uint32_t bits = 0) {
    word(aesaMarker).message(bytes);
    return word(length << 16 | bits);
  }
  std::size_t wordCount() const { return words_.size(); }
  // Exactly the dump's bytes on the heap, so that a read past the end is caught.
  std::unique_ptr<uint8_t[]> bytes() const {
    auto data = std::make_unique<uint8_t[]>(size());
    for (std::size_t i = 0; i < words_.size(); ++i) {
      for (int b = 0; b < 4; ++b) data[4 * i + b] = static_cast<uint8_t>(words_[i] >> (8 * b));
    }
    return data;
  }
  std::size_t size() const { return words_.size() * 4; }

 private:
  std::vector<uint32_t> words_;
};

AesaCommandList commandsOf(const DumpBuilder& dump) {
  AesaCommandList list;
  auto data = dump.bytes();
  decodeAesaCommands(list, data.get(), dump.size());
  return list;
}

std::string decodeResponses(AesaResponseList& list, const DumpBuilder& dump) {
  auto data = dump.bytes();
  return decodeAesaResponses(list, data.get(), dump.size());
}

std::string fixed6(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%9.6f", value);
  return text;
}

}  // namespace

TEST(AesaCatalogue, CommandTableNamesEveryListedCodeAndNothingElse) {
  const std::pair<uint32_t, const char*> table[] = {
      {0x01, "CTISTS"},   {0x07, "CTIEXTSTS"}, {0x0A, "CTINVMWE"},  {0x0E, "CTIx0E"},
      {0x1A, "CTITSYNC"}, {0x1E, "CTIINI1"},   {0x1F, "CTIINI2"},   {0x20, "RFIFMODE"},
      {0x22, "RFIFSTS"},  {0x23, "RFIFBITE"},  {0x24, "RFIFFW"},    {0x25, "..."},
      {0x37, "RFIFETI"},  {0x82, "BEAM"},      {0x86, "BEAMSAVE"},  {0x88, "BEAMINDEX"},
      {0xA0, "RFETE"},    {0xA8, "DMAP"},      {0xAE, "A-STS"},     {0xAF, "A-FW"},
      {0xC1, "TRCINIT"},  {0xC2, "PLANKSTS"},  {0xC3, "CTISTS"},    {0xC4, "PLANKVTX"},
      {0xC7, "PLANKSTS+"}};
  for (auto [code, name] : table) EXPECT_STREQ(aesaCommandName(code), name) << code;
  int named = 0;
  for (uint32_t code = 0; code < 512; ++code) named += std::strcmp(aesaCommandName(code), "?") != 0;
  EXPECT_EQ(named, 25);
}

TEST(AesaCatalogue, ResponseTableNamesEveryListedCodeAndNothingElse) {
  const std::pair<uint32_t, const char*> table[] = {
      {0x62, "RFIFSTS"},    {0x63, "RFIFFWSTS"},     {0x64, "RFIFTSSTS"},
      {0x67, "RFIFBITE"},   {0x6A, "RFIF_NVM_DATA"}, {0x6B, "RFIF_ETI_READ_BACK"},
      {0x70, "CTISTS"},     {0x71, "AESABRCSTS"},    {0x72, "PLANKSTS"},
      {0x74, "CTIIMUSTS"},  {0x75, "PLANKEXTSTS"},   {0x78, "CTIEXTSTS"},
      {0x7B, "CTIETIRB"},   {0x7F, "DMAPRES"},       {0x80, "AESASTS"},
      {0x81, "AESAFWSTS"},  {0x8E, "CTIINIRES"},     {0x8F, "CTIINISTS"}};
  for (auto [code, name] : table) EXPECT_STREQ(aesaResponseName(code), name) << code;
  int named = 0;
  for (uint32_t code = 0; code < 512; ++code) {
    named += std::strcmp(aesaResponseName(code), "?") != 0;
  }
  EXPECT_EQ(named, 18);
}

TEST(AesaCommands, CodeFlagAndValueComeFromTheFirstTwoMessageBytes) {
  DumpBuilder dump;
  dump.command({0xC3, 0x85, 0x11, 0x22, 0x33})  // length 5: marker, length, two words
      .command({0x01, 0x7F})
      .command({0x99, 0x80}, 0x028A);
  ASSERT_EQ(dump.wordCount(), 4u + 3u + 3u);
  AesaCommandList list = commandsOf(dump);
  ASSERT_EQ(list.count(), 3u);
  EXPECT_EQ(list.commands[0].code, 0xC3u);
  EXPECT_STREQ(list.commands[0].name, "CTISTS");
  EXPECT_EQ(list.commands[0].flag, true);
  EXPECT_EQ(list.commands[0].value, 5u);
  EXPECT_FALSE(list.commands[0].hasBeam);
  EXPECT_STREQ(list.commands[1].name, "CTISTS");
  EXPECT_EQ(list.commands[1].flag, false);
  EXPECT_EQ(list.commands[1].value, 0x7Fu);
  EXPECT_STREQ(list.commands[2].name, "?");
  EXPECT_EQ(list.commands[2].flag, true);
  EXPECT_EQ(list.commands[2].value, 0u);
}

TEST(AesaCommands, BeamFieldsAreDecodedInMessageOrder) {
  std::vector<uint8_t> beam(31);
  for (std::size_t i = 0; i < beam.size(); ++i) beam[i] = static_cast<uint8_t>(0x40 + i);
  beam[0] = 0x82;
  beam[1] = 0x03;
  beam[7] = 0x00, beam[8] = 0x80;    // -32768
  beam[9] = 0xFF, beam[10] = 0x7F;   // 32767
  beam[11] = 0xFF, beam[12] = 0xFF;  // -1
  beam[13] = 0x00, beam[14] = 0x00;
  beam[21] = 0x00, beam[22] = 0x40;  // 16384
  beam[23] = 0x01, beam[24] = 0x00;  // 1
  AesaCommandList list = commandsOf(DumpBuilder().command(beam, 0x028A));
  ASSERT_EQ(list.count(), 1u);
  const AesaCommand& c = list.commands[0];
  EXPECT_STREQ(c.name, "BEAM");
  ASSERT_TRUE(c.hasBeam);
  const AesaBeam& b = c.beam;
  EXPECT_EQ(b.field1, 0x42u);
  EXPECT_EQ(b.field2, 0x4443u);
  EXPECT_EQ(b.field3, 0x4645u);
  EXPECT_FLOAT_EQ(b.field4, -1.0000153f);
  EXPECT_EQ(fixed6(b.field4), "-1.000015");
  EXPECT_EQ(fixed6(b.field5), " 0.999985");
  EXPECT_EQ(fixed6(b.field6), "-0.000031");
  EXPECT_EQ(b.field7, 0.0f);
  EXPECT_EQ(b.field8, 0x504Fu);
  EXPECT_EQ(b.field9, 0x51u);
  EXPECT_EQ(b.field10, 0x5352u);
  EXPECT_EQ(b.field11, 0x54u);
  EXPECT_EQ(fixed6(b.field12), " 0.500008");
  EXPECT_FLOAT_EQ(b.field13, static_cast<float>(aesaPositionScale));
  EXPECT_EQ(b.field14, 0x5A59u);
  EXPECT_EQ(b.field15, 0x5Bu);
  EXPECT_EQ(b.field16, 0x5D5Cu);
  EXPECT_EQ(b.field17, 0x5Eu);
}

TEST(AesaCommands, ShortBeamTakesItsFieldsFromTheFollowingWords) {
  DumpBuilder dump;
  dump.command({0x82, 0x00}).command({0x20, 0x01});
  AesaCommandList list = commandsOf(dump);
  ASSERT_EQ(list.count(), 2u);
  // Message bytes 4-7 are the next marker, bytes 8-9 the top of the next length word.
  EXPECT_EQ(list.commands[0].beam.field2, 0x5A00u);
  EXPECT_EQ(list.commands[0].beam.field3, 0x5A5Au);
  EXPECT_EQ(list.commands[0].beam.field5, static_cast<float>(2 * aesaPositionScale));
  EXPECT_STREQ(list.commands[1].name, "RFIFMODE");
}

TEST(AesaCommands, ListEndsAtAMissingMarker) {
  DumpBuilder dump;
  dump.command({0x24, 0x00}).word(0x12345678).command({0x25, 0x00});
  AesaCommandList list = commandsOf(dump);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_STREQ(list.commands[0].name, "RFIFFW");
  EXPECT_EQ(commandsOf(DumpBuilder()).count(), 0u);
}

TEST(AesaCommands, ListStopsAt2048Commands) {
  DumpBuilder dump;
  for (int i = 0; i < 2100; ++i) dump.command({});
  EXPECT_EQ(commandsOf(dump).count(), 2048u);
}

TEST(AesaCommands, NothingIsReadPastTheDump) {
  // A marker in the last word: no length word and no bytes; they read as zero.
  AesaCommandList list = commandsOf(DumpBuilder().command({0x88, 0x01}).word(aesaMarker));
  ASSERT_EQ(list.count(), 2u);
  EXPECT_STREQ(list.commands[1].name, "?");
  EXPECT_EQ(list.commands[1].code, 0u);

  // A beam command cut by the end of the dump: the missing bytes read as zero.
  list = commandsOf(DumpBuilder().command({0x82, 0x00, 0x07}));
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.commands[0].beam.field1, 7u);
  EXPECT_EQ(list.commands[0].beam.field17, 0u);

  // A length beyond the dump ends the list.
  DumpBuilder longCommand;
  longCommand.command({0xAE, 0x00}).word(aesaMarker).word(0xFFFF0000).command({0xAF});
  list = commandsOf(longCommand);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_STREQ(list.commands[0].name, "A-STS");
  EXPECT_STREQ(list.commands[1].name, "?");

  // A trailing partial word is outside the dump: the length word there reads as zero.
  DumpBuilder partial;
  partial.command({0xAE, 0x00}).word(aesaMarker).word(0x00030000).word(0xAF000000);
  auto data = partial.bytes();
  decodeAesaCommands(list, data.get(), partial.size() - 5);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list.commands[1].code, 0u);
}

TEST(AesaResponses, DumpStartingWithTheEndMarkerDecodesNothing) {
  AesaResponseList list;
  EXPECT_EQ(decodeResponses(list, DumpBuilder().word(aesaEndMarker).response({0x70, 0}, 2)),
            "ok");
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.good, 0u);
  EXPECT_EQ(list.bad, 0u);
  EXPECT_EQ(decodeResponses(list, DumpBuilder()), "ok");
}

TEST(AesaResponses, GoodResponsesAreNamedAndCounted) {
  DumpBuilder dump;
  dump.response({0x62, 0x81, 0xAA, 0xBB}, 4).response({0x8F, 0x00, 0, 0, 1, 2, 3, 4}, 7)
      .word(aesaEndMarker);
  AesaResponseList list;
  EXPECT_EQ(decodeResponses(list, dump), "ok");
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list.good, 2u);
  EXPECT_EQ(list.bad, 0u);
  EXPECT_EQ(list.responses[0].code, 0x62u);
  EXPECT_STREQ(list.responses[0].name, "RFIFSTS");
  EXPECT_EQ(list.responses[0].flag, true);
  EXPECT_EQ(list.responses[0].value, 1u);
  EXPECT_EQ(list.responses[0].errorKind, aesaNoError);
  EXPECT_FALSE(list.responses[0].hasStatus);
  EXPECT_STREQ(list.responses[1].name, "CTIINISTS");
}

TEST(AesaResponses, TransferErrorsRankLengthThenTimeOutThenCrc) {
  DumpBuilder dump;
  dump.response({0x72, 0}, 4, 1)       // CRC
      .response({0x72, 0}, 4, 3)       // time-out outranks CRC
      .response({0x72, 0, 0, 0}, 5, 3)  // length beyond the 4 bytes received
      .response({0x72, 0}, 4, 0)        // good
      .word(aesaEndMarker);
  AesaResponseList list;
  EXPECT_EQ(decodeResponses(list, dump), "LEN");  // the last response with an error
  ASSERT_EQ(list.count(), 4u);
  EXPECT_EQ(list.responses[0].errorKind, aesaCrcError);
  EXPECT_EQ(list.responses[1].errorKind, aesaTimeOut);
  EXPECT_EQ(list.responses[2].errorKind, aesaLengthError);
  EXPECT_EQ(list.responses[3].errorKind, aesaNoError);
  EXPECT_EQ(list.good, 1u);
  EXPECT_EQ(list.bad, 3u);

  DumpBuilder crcOnly;
  crcOnly.response({0x72, 0}, 0, 1).word(aesaMarker);
  EXPECT_EQ(decodeResponses(list, crcOnly), "CRC");
  DumpBuilder timeOut;
  timeOut.response({0x72, 0}, 0, 2).word(aesaEndMarker);
  EXPECT_EQ(decodeResponses(list, timeOut), "TOUT");
}

TEST(AesaResponses, CtiStatusWithFaultBitCountsGoodAndBad) {
  DumpBuilder dump;
  dump.response({0x70, 0x00, 0x02, 0x34, 0x56, 0xF8}, 6).word(aesaEndMarker);
  AesaResponseList list;
  EXPECT_EQ(decodeResponses(list, dump), "ok");
  ASSERT_EQ(list.count(), 1u);
  EXPECT_TRUE(list.responses[0].hasStatus);
  EXPECT_EQ(list.responses[0].status, 0xF8563402u);
  EXPECT_EQ(list.good, 1u);
  EXPECT_EQ(list.bad, 1u);

  // With a transfer error there is no status, and no second count.
  DumpBuilder failed;
  failed.response({0x70, 0x00, 0x02, 0, 0, 0}, 6, 1).word(aesaEndMarker);
  EXPECT_EQ(decodeResponses(list, failed), "CRC");
  EXPECT_FALSE(list.responses[0].hasStatus);
  EXPECT_EQ(list.good, 1u);
  EXPECT_EQ(list.bad, 2u);  // the counts run over every decode
}

TEST(AesaResponses, ListEndsAtTwoMarkersInARowOrAnUnclosedResponse) {
  DumpBuilder doubled;
  doubled.response({0x80, 0}, 4).word(aesaMarker).word(aesaMarker).response({0x81, 0}, 4)
      .word(aesaEndMarker);
  AesaResponseList list;
  decodeResponses(list, doubled);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_STREQ(list.responses[0].name, "AESASTS");

  DumpBuilder unclosed;
  unclosed.response({0x80, 0}, 4).response({0x81, 0}, 4);
  decodeResponses(list, unclosed);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.good, 2u);
}

TEST(AesaResponses, BytesBeyondTheResponseReadAsZero) {
  // Marker, status, marker: no message bytes at all.
  DumpBuilder empty;
  empty.word(aesaMarker).word(0).word(aesaEndMarker);
  AesaResponseList list;
  EXPECT_EQ(decodeResponses(list, empty), "ok");
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.responses[0].code, 0u);
  EXPECT_STREQ(list.responses[0].name, "?");

  // A CTISTS response of four bytes: status bytes 2 and 3 only, not the status word.
  DumpBuilder shortStatus;
  shortStatus.response({0x70, 0x00, 0x11, 0x22}, 4, 0).word(aesaEndMarker);
  decodeResponses(list, shortStatus);
  ASSERT_TRUE(list.responses[0].hasStatus);
  EXPECT_EQ(list.responses[0].status, 0x2211u);
}

// The shared byte formats: checked little-endian fields and the destination's record header.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "format/format.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0xC0, 0x3F};

TEST(CheckedReads, ReadLittleEndianFieldsAndZeroWhereAFieldDoesNotFit) {
  struct Case {
    uint64_t offset;
    uint16_t u16;
    uint32_t u32;
  };
  const uint64_t huge = std::numeric_limits<uint64_t>::max() - 1;
  for (const Case& c :
       {Case{0, 0x0201, 0x04030201}, Case{1, 0x0302, 0x05040302}, Case{5, 0x0000, 0x3FC00000},
        Case{6, 0xC000, 0}, Case{7, 0x3FC0, 0}, Case{8, 0, 0}, Case{9, 0, 0}, Case{huge, 0, 0}}) {
    EXPECT_EQ(format::u16At(bytes, c.offset), c.u16) << c.offset;
    EXPECT_EQ(format::u32At(bytes, c.offset), c.u32) << c.offset;
  }
  EXPECT_EQ(format::f32At(bytes, 5), 1.5f);
  EXPECT_EQ(format::s16At(bytes, 6), int16_t(-16384));
  EXPECT_EQ(format::u32At({}, 0), 0u);
}

TEST(CheckedReads, WritesStayInsideTheBytes) {
  Bytes out(6, 0xEE);
  format::putU32At(out, 1, 0x11223344);
  format::putU32At(out, 3, 0xFFFFFFFF);  // does not fit: nothing written
  format::putU16At(out, 5, 0xABCD);      // does not fit either
  EXPECT_EQ(out, (Bytes{0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE}));
  format::putF32At(out, 2, 1.5f);
  EXPECT_EQ(format::f32At(out, 2), 1.5f);
  format::putU16At(out, 0, 0xABCD);
  EXPECT_EQ(format::u16At(out, 0), 0xABCD);
}

Bytes written(const format::RecordHeader& header) {
  Bytes out(format::RecordHeader::size, 0xEE);
  header.write(std::span<uint8_t, format::RecordHeader::size>(out.data(), out.size()));
  return out;
}

TEST(RecordHeader, WritesMarkerNameEndLengthSourceAndZeros) {
  Bytes expected = {0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 'F', '-',  'S',
                    'U',  'M',  0,    0,    0,    0x04, 0x11, 0,    0,   0x00, 0x10,
                    0,    0,    0x33, 0x01, 0,    0,    0,    0,    0,   0};
  EXPECT_EQ(written(format::RecordHeader::forRecord("F-SUM", 0x100, 0x1000, 0x33, 1)), expected);
}

TEST(RecordHeader, NamesAreCutToEightCharactersAndEndAtANul) {
  struct Case {
    std::string_view name;
    std::string_view stored;
  };
  for (const Case& c : {Case{"SOFTDFE1", "SOFTDFE1"}, Case{"SOFTDFE12", "SOFTDFE1"},
                        Case{std::string_view("AB\0CD", 5), "AB"}, Case{"", ""}}) {
    format::RecordHeader header = format::RecordHeader::forRecord(c.name, 0, 0, 0, 0);
    Bytes out = written(header);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(out.data() + 8), 8),
              std::string(c.stored) + std::string(8 - c.stored.size(), '\0'))
        << c.name;
    EXPECT_EQ(format::RecordHeader::parse(out).nameText(), c.stored);
  }
}

TEST(RecordHeader, ParseReadsBackWhatWriteWroteAndZerosForMissingBytes) {
  const format::RecordHeader header =
      format::RecordHeader::forRecord("SOFT", uint64_t{1} << 32 | 8, 256, 0x56, 7);
  EXPECT_EQ(header.end, 8u + 256 + 4);  // the 32-bit end field wraps past 4 GiB
  Bytes out = written(header);
  format::RecordHeader back = format::RecordHeader::parse(out);
  EXPECT_TRUE(back.hasMarker());
  EXPECT_EQ(back.name, header.name);
  EXPECT_EQ(back.end, header.end);
  EXPECT_EQ(back.length, 256u);
  EXPECT_EQ(back.sourceId, 0x56);
  EXPECT_EQ(back.sourceTag, 7);

  format::RecordHeader shortened = format::RecordHeader::parse(std::span(out).first(22));
  EXPECT_TRUE(shortened.hasMarker());
  EXPECT_EQ(shortened.length, 0u);  // bytes 20 to 23 are not all there
  EXPECT_EQ(shortened.sourceId, 0);
  out[3] = 0x7B;
  EXPECT_FALSE(format::RecordHeader::parse(out).hasMarker());
}

}  // namespace

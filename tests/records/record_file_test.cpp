// Walking the records of a destination file: whole records, clean ends and every kind of stop.
#include <gtest/gtest.h>

#include "records/records.h"
#include "support/recording.h"

using records::Record;
using records::RecordFile;
using records::Stop;
using records::StopKind;

namespace {

Bytes record(const std::string& name, uint32_t length, uint64_t at, uint8_t source = 0x33) {
  Bytes bytes(records::headerSize + length, uint8_t(0xC3));
  records::encodeHeader(bytes.data(), name, source, 1, length, at);
  return bytes;
}

/// Records of the given lengths laid out one after the other.
Bytes recordsOf(std::initializer_list<uint32_t> lengths) {
  Bytes file;
  for (uint32_t length : lengths) append(file, record("F-SUM", length, file.size()));
  return file;
}

struct Walked {
  std::vector<Record> records;
  Stop stop;
};

Walked walk(const Bytes& bytes) {
  TempDir dir;
  writeFile(dir.file("x.out"), bytes);
  RecordFile file;
  std::string error;
  EXPECT_TRUE(file.open(dir.file("x.out"), error)) << error;
  Walked w;
  w.stop = file.walk(0, [&](const Record& r) {
    w.records.push_back(r);
    return true;
  });
  return w;
}

}  // namespace

TEST(RecordHeader, HasTheConvertersLayout) {
  Bytes header(32);
  records::encodeHeader(header.data(), "F-SUM", 0x33, 0x01, 4096, 0);
  const Bytes expected = {0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 0x7A, 'F', '-', 'S', 'U', 'M', 0, 0, 0,
                          0x04, 0x10, 0, 0, 0x00, 0x10, 0, 0, 0x33, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(header, expected);
}

TEST(RecordHeader, EndFieldWrapsAboveFourGiB) {
  const uint64_t at = (5ull << 30) + 96;  // 5 GiB into the file
  Bytes header(32);
  records::encodeHeader(header.data(), "SOFTDFE1", 0x56, 2, 256, at);
  EXPECT_EQ(header[16] | header[17] << 8 | header[18] << 16 | uint32_t(header[19]) << 24,
            uint32_t((1u << 30) + 96 + 256 + 4));
  Record r;
  ASSERT_TRUE(records::decodeHeader(header.data(), at, r));
  EXPECT_TRUE(r.endFieldMatches);
  EXPECT_EQ(r.name, "SOFTDFE1");  // eight characters, no terminator
  EXPECT_FALSE(records::decodeHeader(header.data(), at + 1ull * 4096, r) && r.endFieldMatches);
}

TEST(RecordWalk, ReportsEveryWholeRecordAndACleanEnd) {
  Walked w = walk(recordsOf({4096, 256, 300, 0}));
  ASSERT_EQ(w.records.size(), 4u);
  EXPECT_EQ(w.records[1].offset, 32u + 4096);
  EXPECT_EQ(w.records[2].length, 300u);
  EXPECT_EQ(w.records[3].index, 3u);
  EXPECT_EQ(w.stop.kind, StopKind::end);
  EXPECT_EQ(walk({}).stop.kind, StopKind::end);
}

TEST(RecordWalk, TellsWhereAndWhyItStops) {
  const Bytes two = recordsOf({4096, 256});
  const uint64_t second = 32 + 4096;
  auto with = [&](auto change) {
    Bytes b = two;
    change(b);
    return b;
  };
  Bytes bare = recordsOf({4096});
  bare.insert(bare.end(), 8, 0x5A);
  bare.insert(bare.end(), 300, 0x00);
  struct Case {
    const char* what;
    Bytes bytes;
    StopKind kind;
    uint64_t offset;
    size_t whole;
  } cases[] = {
      {"cut in the data", with([](Bytes& b) { b.resize(b.size() - 1); }), StopKind::cutRecord, second, 1},
      {"cut in the header", with([&](Bytes& b) { b.resize(second + 12); }), StopKind::cutHeader, second, 1},
      {"cut in the marker", with([&](Bytes& b) { b.resize(second + 5); }), StopKind::cutHeader, second, 1},
      {"marker damaged", with([&](Bytes& b) { b[second + 3] = 0; }), StopKind::damage, second, 1},
      {"length damaged", with([&](Bytes& b) { b[second + 21] = 0x7F; }), StopKind::damage, second, 1},
      {"length damaged first", with([](Bytes& b) { b[20] = 0x10; }), StopKind::damage, 0, 0},
      {"bare record", bare, StopKind::bareRecord, second, 1},
      {"stray bytes at the end", with([](Bytes& b) { b.push_back(1); }), StopKind::damage, two.size(), 2},
  };
  for (const Case& c : cases) {
    Walked w = walk(c.bytes);
    EXPECT_EQ(w.stop.kind, c.kind) << c.what << ": " << w.stop.reason;
    EXPECT_EQ(w.stop.offset, c.offset) << c.what;
    EXPECT_EQ(w.records.size(), c.whole) << c.what;
    EXPECT_FALSE(w.stop.reason.empty()) << c.what;
  }
}

TEST(RecordWalk, BelievesAnEndFieldMismatchOnlyWhenARecordFollows) {
  // Two files joined: the second part's end fields count from its own start.
  Bytes joined = recordsOf({256, 512});
  append(joined, recordsOf({1024, 256}));
  Walked w = walk(joined);
  ASSERT_EQ(w.records.size(), 4u);
  EXPECT_EQ(w.stop.kind, StopKind::end);
  EXPECT_TRUE(w.records[1].endFieldMatches);
  EXPECT_FALSE(w.records[2].endFieldMatches);
}

TEST(RecordSearch, FindsTheNextPlausibleHeaderAfterDamage) {
  Bytes file = recordsOf({4096});
  Bytes junk(5000, 0x7A);  // marker bytes that lead nowhere
  append(file, junk);
  const uint64_t next = file.size();
  append(file, record("SOFT", 512, next, 0x53));
  TempDir dir;
  writeFile(dir.file("x.out"), file);
  RecordFile f;
  std::string error;
  ASSERT_TRUE(f.open(dir.file("x.out"), error));
  EXPECT_EQ(f.findNextRecord(32 + 4096), next);
  EXPECT_EQ(f.findNextRecord(next), f.size());
}

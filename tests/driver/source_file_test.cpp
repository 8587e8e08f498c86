// A source file read through a small buffer with its read ahead: whatever mix of reads, in-place
// views, walk-backs and marker searches the scanner makes, it sees the file's own bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "source_sequence.h"
#include "support/recording.h"

namespace {

TEST(SourceFile, ReadsViewsSeeksAndSearchesSeeTheFilesBytes) {
  constexpr size_t bufferSize = 4096;
  TempDir dir;
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(13 * bufferSize + 1234);
  for (uint8_t& b : bytes) b = uint8_t(random() % 7);  // small alphabet: markers recur
  const uint8_t marker[6] = {1, 2, 3, 4, 5, 6};
  for (size_t at : {size_t{100}, bufferSize - 3, 5 * bufferSize - 16, bytes.size() - 6})
    std::copy(marker, marker + 6, bytes.begin() + long(at));
  writeFile(dir.file("a.rec"), bytes);
  SourceFile file(bufferSize);
  ASSERT_TRUE(file.open(dir.file("a.rec")));
  uint64_t position = 0;
  uint8_t spare[600];
  for (int step = 0; step < 20000; ++step) {
    size_t n = 1 + random() % 300;
    uint64_t left = bytes.size() - position;
    switch (random() % 8) {
      case 0: {  // a walk back (or a small jump ahead)
        uint64_t back = std::min<uint64_t>(position, random() % 64);
        position = std::min<uint64_t>(position - back + random() % 8, bytes.size());
        file.seek(position);
        break;
      }
      case 1: {  // a search from here for the marker
        uint64_t found = file.find(marker, sizeof marker, position);
        auto it = std::search(bytes.begin() + long(position), bytes.end(), marker, marker + 6);
        uint64_t expected = it == bytes.end() ? SourceFile::notFound : uint64_t(it - bytes.begin());
        ASSERT_EQ(found, expected) << "step " << step;
        ASSERT_EQ(file.position(), position) << "the search keeps the read position";
        break;
      }
      case 2:
      case 3:
      case 4: {
        const uint8_t* in = file.view(n);
        if (in) {
          ASSERT_LE(n, left);
          ASSERT_TRUE(std::equal(in, in + n, bytes.begin() + long(position))) << "step " << step;
          position += n;
        }
        ASSERT_EQ(file.position(), position) << "step " << step;
        break;
      }
      default: {
        size_t got = file.read(spare, n);
        ASSERT_EQ(got, std::min<uint64_t>(n, left)) << "step " << step;
        ASSERT_TRUE(std::equal(spare, spare + got, bytes.begin() + long(position)));
        position += got;
        break;
      }
    }
    if (position == bytes.size()) {
      position = random() % bytes.size();
      file.seek(position);
    }
  }
}

// The next file of a sequence is read ahead once the current one's last buffer is read; what the
// next open then reads is that file's bytes as they are at the open, however the file changed
// in between, and whichever file is opened.
struct NextCase {
  const char* what;
  int change;        // 0 none, 1 replaced by another file, 2 grown, 3 created late, 4 removed
  const char* opened;
};

class SourceFileNext : public ::testing::TestWithParam<NextCase> {};

TEST_P(SourceFileNext, TheNextOpenReadsTheFileAsItIsThen) {
  const NextCase& c = GetParam();
  constexpr size_t bufferSize = 4096;
  TempDir dir;
  auto pattern = [](size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + seed);
    return bytes;
  };
  writeFile(dir.file("a_1.rec"), pattern(bufferSize + 100, 1));
  if (c.change != 3) writeFile(dir.file("a_2.rec"), pattern(3 * bufferSize, 2));
  writeFile(dir.file("other.rec"), pattern(bufferSize / 2, 4));
  SourceFile file(bufferSize);
  ASSERT_TRUE(file.open(dir.file("a_1.rec")));
  file.readNextAhead(dir.file("a_2.rec"));
  std::vector<uint8_t> spare(2 * bufferSize);
  ASSERT_EQ(file.read(spare.data(), spare.size()), bufferSize + 100);  // to the end: next read ahead
  std::vector<uint8_t> expected;
  switch (c.change) {
    case 1:
      writeFile(dir.file("new.rec"), pattern(3 * bufferSize, 9));
      std::filesystem::rename(dir.file("new.rec"), dir.file("a_2.rec"));
      expected = pattern(3 * bufferSize, 9);
      break;
    case 2: {
      expected = pattern(3 * bufferSize, 2);
      std::vector<uint8_t> more = pattern(50, 5);
      expected.insert(expected.end(), more.begin(), more.end());
      writeFile(dir.file("a_2.rec"), expected);
      break;
    }
    case 3:
      writeFile(dir.file("a_2.rec"), pattern(bufferSize, 3));
      expected = pattern(bufferSize, 3);
      break;
    case 4:
      std::filesystem::remove(dir.file("a_2.rec"));
      break;
    default:
      expected = pattern(3 * bufferSize, 2);
  }
  file.close();
  std::string opened = dir.file(c.opened);
  if (std::string(c.opened) == "other.rec") expected = pattern(bufferSize / 2, 4);
  if (c.change == 4) {
    EXPECT_FALSE(file.open(opened));
    return;
  }
  ASSERT_TRUE(file.open(opened));
  EXPECT_EQ(file.size(), expected.size());
  std::vector<uint8_t> got(expected.size() + 10);
  ASSERT_EQ(file.read(got.data(), got.size()), expected.size());
  got.resize(expected.size());
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SourceFileNext,
    ::testing::Values(NextCase{"AsExpected", 0, "a_2.rec"}, NextCase{"ReplacedMeanwhile", 1, "a_2.rec"},
                      NextCase{"GrownMeanwhile", 2, "a_2.rec"}, NextCase{"CreatedLate", 3, "a_2.rec"},
                      NextCase{"RemovedMeanwhile", 4, "a_2.rec"},
                      NextCase{"AnotherFileOpened", 0, "other.rec"}),
    [](const ::testing::TestParamInfo<NextCase>& param) { return std::string(param.param.what); });

}  // namespace

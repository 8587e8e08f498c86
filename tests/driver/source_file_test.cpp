// A source file read through a small buffer with its read ahead: whatever mix of reads, in-place
// views, walk-backs and marker searches the scanner makes, it sees the file's own bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
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

}  // namespace

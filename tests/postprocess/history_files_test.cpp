// The two history files: the sink mask chooses where pp_printf writes; a file not open is skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "postprocess/history_files.h"

namespace {

std::string contents(FILE* file) {
  std::fflush(file);
  std::rewind(file);
  char buffer[64] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  return std::string(buffer, n);
}

TEST(HistoryFiles, WritesIntoTheFilesOfTheMask) {
  FILE* history = std::tmpfile();
  FILE* aesa = std::tmpfile();
  HistoryFiles files(history, aesa);
  EXPECT_EQ(files.mask(), 15);  // both files at start
  files.setMask(1);
  pp_printf(files, "a%d;", 1);
  files.setMask(3);
  pp_printf(files, "b%d;", 2);
  files.setMask(2);
  pp_printf(files, "c;");
  EXPECT_EQ(contents(history), "a1;b2;");
  EXPECT_EQ(contents(aesa), "b2;c;");
}

TEST(HistoryFiles, SkipsAFileThatIsNotOpen) {
  FILE* aesa = std::tmpfile();
  HistoryFiles files(nullptr, aesa);
  EXPECT_FALSE(files.historyOpen());
  pp_printf(files, "x%s;", "y");
  files.flushHistory();
  EXPECT_EQ(contents(aesa), "xy;");
  HistoryFiles none;
  EXPECT_FALSE(none.openHistory("no-such-directory/pp-x.txt"));
  EXPECT_FALSE(none.historyOpen());
  pp_printf(none, "nowhere");
}

}  // namespace

// The two history files: the sink mask chooses where pp_printf writes; a file not open is
// skipped; the lines are in the files under their names once they are closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "history_files.h"
#include "support/recording.h"
#include "support/run_program.h"
#include "support/test_outputs.h"

namespace {

TEST(HistoryFiles, WritesIntoTheFilesOfTheMask) {
  TempDir dir;
  {
    HistoryFiles files(testOutputs());
    ASSERT_TRUE(files.openHistory(dir.file("pp-h.txt")));
    ASSERT_TRUE(files.openAesa(dir.file("pp-aesa-h.txt")));
    EXPECT_EQ(files.mask(), 15);  // both files at start
    files.setMask(1);
    pp_printf(files, "a%d;", 1);
    files.setMask(3);
    pp_printf(files, "b%d;", 2);
    files.setMask(2);
    pp_printf(files, "c;");
  }
  EXPECT_EQ(slurp(dir.file("pp-h.txt")), "a1;b2;");
  EXPECT_EQ(slurp(dir.file("pp-aesa-h.txt")), "b2;c;");
}

TEST(HistoryFiles, SkipsAFileThatIsNotOpen) {
  TempDir dir;
  {
    HistoryFiles files(testOutputs());
    ASSERT_TRUE(files.openAesa(dir.file("pp-aesa-h.txt")));
    EXPECT_FALSE(files.historyOpen());
    pp_printf(files, "x%s;", "y");
    files.flushHistory();
  }
  EXPECT_EQ(slurp(dir.file("pp-aesa-h.txt")), "xy;");
  HistoryFiles none(testOutputs());
  EXPECT_FALSE(none.openHistory("no-such-directory/pp-x.txt"));
  EXPECT_FALSE(none.historyOpen());
  pp_printf(none, "nowhere");
}

}  // namespace

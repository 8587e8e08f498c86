// History items: cell texts, change detection, the latched total, the shared value-text buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "commandline/messages.h"
#include "history_items.h"
#include "support/test_outputs.h"
#include "support/test_support.h"

namespace {

// The two history files as temporary files; reads back what pp_printf wrote into each.
class TemporaryHistory {
 public:
  TemporaryHistory()
      : history_(std::tmpfile()),
        aesa_(std::tmpfile()),
        files(testOutputs(), testOutputs().adopt(history_, "history"),
              testOutputs().adopt(aesa_, "aesa")) {}
  std::string history() { return contents(history_); }
  std::string aesa() { return contents(aesa_); }

 private:
  static std::string contents(FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
  }
  FILE* history_;
  FILE* aesa_;

 public:
  HistoryFiles files;  // closes both
};

std::string cell(ItemBase& item) {
  TemporaryHistory temporary;
  item.printCell(temporary.files);
  return temporary.history();
}

class HistoryItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg::init("tarsel", 0);
    install_logger(&cmdio_logger());
  }
  void TearDown() override { install_logger(nullptr); }
  CapturedMessages captured{0};
  HistoryItems list;
};

}  // namespace

TEST_F(HistoryItemsTest, ItemsRegisterInConstructionOrderWithTheirFormatsAndWidths) {
  ItemString time(list, "time", false);
  ItemUInt batch(list, "Batch", false);
  ItemStringSmall mode(list, "Mode1553", true);
  ItemUIntSmall dspMode(list, "DSP-Mode", true);
  ItemBase brk(list, "brk", false);
  ItemHex health(list, "Health", true);
  ItemUIntSmallLatched det(list, "Det", false);
  ItemFloat head(list, "TrueHead", false);
  ItemFloatSmall lat(list, "Lat", false);

  ASSERT_EQ(list.size(), 9u);
  const char* names[] = {"time", "Batch", "Mode1553", "DSP-Mode", "brk",
                         "Health", "Det", "TrueHead", "Lat"};
  const int widths[] = {8, 9, 4, 4, 0, 10, 4, 12, 12};
  const char* formats[] = {"%-8.8s", "%9u", "%-4.4s", "%4u", nullptr,
                           "0x%8.8X", "%4u", "%12.3f", "%12.6f"};
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_STREQ(list[i].name(), names[i]) << i;
    EXPECT_EQ(list[i].width(), widths[i]) << i;
    EXPECT_STREQ(list[i].format(), formats[i]) << i;
  }
  EXPECT_TRUE(list[2].trackChanges());
  EXPECT_FALSE(list[0].trackChanges());
}

TEST_F(HistoryItemsTest, CellsHaveTheirExactWidthsAndCuts) {
  ItemUInt batch(list, "Batch", false);
  ItemUIntSmall mode(list, "Mode", false);
  ItemHex health(list, "Health", false);
  ItemFloat head(list, "TrueHead", false);
  ItemFloatSmall lat(list, "Lat", false);
  ItemString time(list, "time", false);
  ItemStringSmall wf(list, "WF", false);

  EXPECT_EQ(cell(batch), "        0;");
  batch.set(4294967295u);
  EXPECT_EQ(cell(batch), "4294967295;");  // a wider number widens its cell
  mode.set(7);
  EXPECT_EQ(cell(mode), "   7;");
  mode.set(123456);
  EXPECT_EQ(cell(mode), "123456;");
  health.set(0x01000abc);
  EXPECT_EQ(cell(health), "0x01000ABC;");
  head.set(-12.3456f);
  EXPECT_EQ(cell(head), "     -12.346;");
  lat.set(48.1234567f);
  EXPECT_EQ(cell(lat), "   48.123455;");  // the float, promoted, not the decimal written above
  EXPECT_EQ(cell(time), "        ;");
  time.set("10:30:05-extra");
  EXPECT_EQ(cell(time), "10:30:05;");
  wf.set("mprf_short");
  EXPECT_EQ(cell(wf), "mprf;");
  wf.set("gm");
  EXPECT_EQ(cell(wf), "gm  ;");
  EXPECT_STREQ(wf.valueText(), "gm  ");
}

TEST_F(HistoryItemsTest, PlainColumnPrintsOnlyTheSeparatorAndHasNoValueText) {
  ItemBase brk(list, "brk", true);
  EXPECT_EQ(cell(brk), ";");
  EXPECT_STREQ(brk.valueText(), "?");
  EXPECT_FALSE(brk.isChanged());
  EXPECT_FALSE(brk.reportChange());
}

TEST_F(HistoryItemsTest, CellsGoOnlyToTheFilesSelectedByTheMask) {
  ItemUIntSmall rad(list, "Rad", false);
  rad.set(3);
  {
    TemporaryHistory temporary;
    temporary.files.setMask(1);
    rad.printCell(temporary.files);
    temporary.files.setMask(2);
    rad.set(4);
    rad.printCell(temporary.files);
    temporary.files.setMask(0);
    rad.printCell(temporary.files);
    EXPECT_EQ(temporary.history(), "   3;");
    EXPECT_EQ(temporary.aesa(), "   4;");
  }
  // Before the files are open nothing is written anywhere and nothing fails.
  HistoryFiles closed(testOutputs());
  rad.printCell(closed);
  EXPECT_EQ(captured.all, "");
}

TEST_F(HistoryItemsTest, UntrackedItemsNeverChange) {
  ItemUInt batch(list, "Batch", false);
  ItemFloat head(list, "TrueHead", false);
  ItemString time(list, "time", false);
  batch.set(5);
  head.set(NAN);
  time.set("10:00:00");
  EXPECT_FALSE(batch.isChanged());
  EXPECT_FALSE(head.isChanged());
  EXPECT_FALSE(time.isChanged());
  EXPECT_FALSE(batch.reportChange());
  EXPECT_EQ(captured.all, "");
}

TEST_F(HistoryItemsTest, CommitTakesTheValueAsPrinted) {
  ItemUIntSmall mode(list, "Mode", true);
  EXPECT_FALSE(mode.isChanged());
  mode.set(4);
  EXPECT_TRUE(mode.isChanged());
  mode.commit();
  EXPECT_EQ(mode.previous(), 4u);
  EXPECT_FALSE(mode.isChanged());
  mode.set(5);
  mode.set(4);  // only the last value counts
  EXPECT_FALSE(mode.isChanged());
}

TEST_F(HistoryItemsTest, NanChangesAtEveryCheckEvenAfterACommit) {
  ItemFloat head(list, "TrueHead", true);
  head.set(1.0f);
  head.commit();
  head.set(1.0f);
  EXPECT_FALSE(head.isChanged());
  head.set(NAN);
  EXPECT_TRUE(head.isChanged());
  head.commit();
  EXPECT_TRUE(head.isChanged());
  head.set(-0.0f);
  head.commit();
  head.set(0.0f);  // equal as numbers
  EXPECT_FALSE(head.isChanged());
}

TEST_F(HistoryItemsTest, TextComparesByLengthAndBytes) {
  ItemStringSmall mode(list, "Mode1553", true);
  mode.set("SEA1");
  mode.commit();
  mode.set("SEA1");
  EXPECT_FALSE(mode.isChanged());
  mode.set("SEA2");
  EXPECT_TRUE(mode.isChanged());
  mode.set(std::string("SEA1\0", 5));  // prints the same, but the length differs
  EXPECT_TRUE(mode.isChanged());
  mode.set("SEA1extra");  // cut to the same cell, still a change
  EXPECT_TRUE(mode.isChanged());
}

TEST_F(HistoryItemsTest, ReportChangeLogsNameAndCellText) {
  ItemStringSmall stby(list, "STBY", true);
  ItemHex health(list, "Health", true);
  EXPECT_FALSE(stby.reportChange());
  stby.set("RAD");
  EXPECT_TRUE(stby.reportChange());
  health.set(0x1000000);
  EXPECT_TRUE(health.reportChange());
  EXPECT_EQ(captured.err,
            "tarsel-W: Changed: STBY = RAD \n"
            "tarsel-W: Changed: Health = 0x01000000\n");
  stby.commit();
  EXPECT_FALSE(stby.reportChange());
}

// The change line is a console warning of its own, not a decoder line: standby does not drop it.
TEST_F(HistoryItemsTest, ReportChangeIsAWarningEvenInStandby) {
  ItemUIntSmall mode(list, "Mode", true);
  mode.set(3);
  install_logger(&cmdio_logger());
  bool standby = true;
  cmdio_logger().setStandbyFlag(&standby);
  EXPECT_TRUE(mode.reportChange());
  cmdio_logger().setStandbyFlag(nullptr);
  install_logger(nullptr);
  EXPECT_EQ(captured.all, "tarsel-W: Changed: Mode =    3\n");
}

TEST_F(HistoryItemsTest, LatchedItemShowsTheTotalSinceTheLastLine) {
  ItemUIntSmallLatched det(list, "Det", false);
  det.set(3);
  det.set(4);
  EXPECT_EQ(cell(det), "   7;");
  det.commit();
  EXPECT_EQ(det.previous(), 0u);  // never kept
  EXPECT_EQ(cell(det), "   0;");
  det.set(0xFFFFFFFFu);
  det.set(2);
  EXPECT_EQ(det.value(), 1u);  // wraps
  EXPECT_FALSE(det.isChanged());
}

TEST_F(HistoryItemsTest, ValueTextSharesOneBufferPerValueType) {
  ItemUInt a(list, "A-Ok", false);
  ItemUIntSmall b(list, "Rad", false);
  ItemFloat f(list, "Ptaz", false);
  ItemString s(list, "time", false);
  a.set(1);
  b.set(2);
  f.set(2.5f);
  s.set("x");
  const char* first = a.valueText();
  EXPECT_STREQ(first, "        1");
  const char* floatText = f.valueText();
  const char* textText = s.valueText();
  const char* second = b.valueText();
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "   2");  // the first text is overwritten
  EXPECT_NE(floatText, second);
  EXPECT_NE(textText, second);
  EXPECT_NE(textText, floatText);
  EXPECT_STREQ(floatText, "       2.500");
  EXPECT_STREQ(textText, "x       ");
}

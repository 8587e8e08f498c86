// The message module: prefix, threshold, counters, summary, result code and the loggers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "commandline/messages.h"
#include "support/test_support.h"

using ::testing::HasSubstr;

namespace {

class Messages : public ::testing::Test {
 protected:
  void SetUp() override { msg::init("tarsel", 3); }
  CapturedMessages captured{3};
};

}  // namespace

TEST_F(Messages, PrefixCarriesProgramLevelAndContext) {
  msg::set_context("rec01.dat");
  msg::set_context_number(12);
  msg::warning("F-SUM: duplicated: %u", 1u);
  msg::set_context_number(0);
  msg::info("at the start");
  msg::set_context(nullptr);
  msg::summaryLine("no context");
  EXPECT_EQ(captured.err,
            "tarsel-W[rec01.dat:12]: F-SUM: duplicated: 1\n"
            "tarsel-I[rec01.dat]: at the start\n"
            "tarsel-S: no context\n");
}

TEST_F(Messages, HiddenMessagesAreCountedButNotWritten) {
  EXPECT_EQ(msg::debug("d"), 0);
  EXPECT_EQ(msg::detail1("one"), 0);
  EXPECT_EQ(msg::detail2("two"), 0);
  EXPECT_EQ(msg::info("shown"), 5);
  EXPECT_EQ(captured.err, "tarsel-I: shown\n");
  EXPECT_EQ(msg::counter(msg::D), 1u);
  EXPECT_EQ(msg::counter(msg::I1), 1u);
  EXPECT_EQ(msg::counter(msg::I2), 1u);
}

TEST_F(Messages, FatalEndsTheProgramUnlessHidden) {
  msg::set_threshold(8);
  msg::fatal("hidden");  // counted, hidden, goes on
  EXPECT_EQ(msg::counter(msg::F), 1u);
  EXPECT_EQ(captured.err, "");
  msg::set_threshold(3);
  try {
    msg::fatal("shown %d", 7);
    FAIL() << "an F message must end the program";
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(captured.err, "tarsel-F: shown 7\n");
}

TEST_F(Messages, ThresholdIsCappedAtEight) {
  EXPECT_EQ(msg::set_threshold(12), 3);
  EXPECT_EQ(msg::threshold(), 8);
}

TEST_F(Messages, QuestionLeavesTheCursorOnTheLine) {
  msg::log(msg::Q, "Overwrite it (Y,n)? ");
  msg::warning("next");
  EXPECT_EQ(captured.err, "tarsel-Q: Overwrite it (Y,n)? tarsel-W: next\n");
}

TEST_F(Messages, SystemErrorTextIsAppended) {
  errno = ENOENT;
  msg::logSysError(msg::E, "open %s", "x");
  EXPECT_EQ(captured.err, "tarsel-E: open x -- No such file or directory (2)\n");
}

TEST_F(Messages, RedirectMovesMessagesToStandardOutput) {
  msg::set_redirect(true);
  msg::warning("w");
  EXPECT_EQ(captured.out, "tarsel-W: w\n");
  EXPECT_EQ(msg::stream_for(msg::F), stdout);
}

TEST_F(Messages, ResultCodeFollowsCountersAndMask) {
  EXPECT_EQ(msg::result_code(), 0);
  msg::warning("w");
  EXPECT_EQ(msg::result_code(), 1);
  msg::set_result_mask(6);
  EXPECT_EQ(msg::result_code(), 0);
  msg::set_result_mask(0);
  msg::error("e");
  EXPECT_EQ(msg::result_code(), 10);
  msg::set_result_mask(6);
  EXPECT_EQ(msg::result_code(), 10);
  msg::set_result_mask(7);
  EXPECT_EQ(msg::result_code(), 0);
  msg::set_threshold(8);
  msg::fatal("hidden");
  EXPECT_EQ(msg::result_code(), 20);
}

TEST_F(Messages, SummaryWithoutProblemsIsASummaryLine) {
  msg::summary(nullptr, 0);
  EXPECT_EQ(captured.err, "tarsel-S: Done (0). 0 sec elapsed\n");
}

TEST_F(Messages, SummaryWithProblemsWarnsAndRaisesTheThreshold) {
  msg::warning("w");
  msg::error("e");
  captured.err.clear();
  msg::summary("Run", 10);
  EXPECT_EQ(captured.err, "tarsel-W: Run (10). 0 fail(s), 1 error(s), 1 warning(s). 0 sec elapsed\n\n");
  EXPECT_EQ(msg::threshold(), 6);
}

TEST_F(Messages, ExitWithStoresTheStatus) {
  msg::set_auto_summary(0);
  try {
    msg::exit_with(3);
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.status, 3);
  }
  EXPECT_EQ(captured.err, "tarsel-S: Done (3). 0 sec elapsed\n");
  EXPECT_EQ(msg::result_code(), 3);
}

TEST_F(Messages, CmdioLoggerMapsLevelsAndDropsErrorsInStandby) {
  bool standby = false;
  QuillLoggerCmdio& logger = cmdio_logger();
  logger.setStandbyFlag(&standby);
  install_logger(&logger);
  current_logger().log(3, "S-Block: %s", "SUM");
  current_logger().log(5, "bad %d", 1);
  standby = true;
  current_logger().log(5, "dropped");
  current_logger().log(6, "dropped too");
  current_logger().log(2, "kept");
  install_logger(nullptr);
  current_logger().log(5, "base logger writes nothing");
  logger.setStandbyFlag(nullptr);
  EXPECT_EQ(captured.err,
            "tarsel-S: PP: S-Block: SUM\n"
            "tarsel-E: PP: bad 1\n"
            "tarsel-I: PP: kept\n");
  EXPECT_EQ(QuillLoggerCmdio::mapLevel(0), msg::D);
  EXPECT_EQ(QuillLoggerCmdio::mapLevel(4), msg::I);
  EXPECT_EQ(QuillLoggerCmdio::mapLevel(7), msg::E);
  EXPECT_EQ(QuillLoggerCmdio::mapLevel(9), msg::I);
}

TEST_F(Messages, CmdioLoggerCutsLongTextAt2048Bytes) {
  install_logger(&cmdio_logger());
  std::string longText(5000, 'x');
  current_logger().log(3, "%s", longText.c_str());
  install_logger(nullptr);
  EXPECT_EQ(captured.err, "tarsel-S: PP: " + std::string(2047, 'x') + "\n");
}

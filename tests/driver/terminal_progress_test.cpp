// tarsel on a pseudo-terminal keeps its status line and clears it before every message; into a
// pipe, or with //q, there is none.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr char recording[] = "_19-05-17-10-30-00_1.rec";

/// Runs tarsel in `dir` with standard output and standard error on one pseudo-terminal of
/// 100 columns and collects what the terminal received; `onFirstDrawing` runs once, with the
/// child's process id, when a status line first shows. The child is held for 0.4 s once the scan
/// has begun, so that the first drawing (due a quarter of a second into the run) falls within
/// the run however fast the machine converts.
ProgramResult runOnTerminal(const TempDir& dir, const std::vector<std::string>& arguments,
                            void (*onFirstDrawing)(pid_t) = nullptr) {
  struct winsize size {};
  size.ws_row = 24;
  size.ws_col = 100;
  int master = -1;
  std::string program = tarselPath();
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ProgramResult result;
  if (pid < 0) return result;
  bool signalled = false;
  bool held = false;
  char buffer[4096];
  for (;;) {
    struct pollfd ready {master, POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) break;  // a minute without output: give up
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child closed the terminal
    result.out.append(buffer, static_cast<size_t>(n));
    if (!held && result.out.find("First block found") != std::string::npos) {
      held = true;
      kill(pid, SIGSTOP);
      usleep(400000);
      kill(pid, SIGCONT);
    }
    if (onFirstDrawing && !signalled && result.out.find("\rfile ") != std::string::npos) {
      signalled = true;
      onFirstDrawing(pid);
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class TerminalProgressTest : public ::testing::Test {
 protected:
  // About a second of conversion, so that several drawings fall within it.
  static void SetUpTestSuite() { directory = synthesizedFlight("--size 300M"); }
  static void TearDownTestSuite() { directory.reset(); }
  void SetUp() override { ASSERT_TRUE(directory); }
  static inline std::unique_ptr<TempDir> directory;
};

// Each drawing ("\r" + line + "\033[K") is followed by a carriage return: the clear, or the
// next drawing; so no message ever lands behind a line, and the run ends with it cleared.
void expectEveryDrawingCleared(const std::string& out) {
  for (size_t at = out.find("\rfile "); at != std::string::npos; at = out.find("\rfile ", at + 1)) {
    size_t end = out.find("\033[K", at);
    ASSERT_NE(end, std::string::npos) << out.substr(at);
    ASSERT_LT(end + 3, out.size()) << "the run ended with the line shown";
    EXPECT_EQ(out[end + 3], '\r') << out.substr(at, 300);
  }
}

}  // namespace

TEST_F(TerminalProgressTest, TheLineShowsAndIsClearedBeforeEveryMessage) {
  ProgramResult r = runOnTerminal(*directory, {recording, "//o"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_THAT(r.out, HasSubstr("\rfile 1/1  "));
  EXPECT_THAT(r.out, HasSubstr(" MiB  "));
  EXPECT_THAT(r.out, HasSubstr("% "));
  EXPECT_THAT(r.out, HasSubstr(" left\033[K"));
  expectEveryDrawingCleared(r.out);
  // The messages after the scan come after the last clear.
  EXPECT_LT(r.out.rfind("\r\033[K"), r.out.find("processed "));
}

TEST_F(TerminalProgressTest, QuietedMessagesKeepNoLine) {
  ProgramResult r = runOnTerminal(*directory, {recording, "//o", "//q"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("\rfile ")));
  EXPECT_THAT(r.out, Not(HasSubstr("\033[K")));
}

TEST_F(TerminalProgressTest, APipeSeesNoLine) {
  ProgramResult r = runProgram(*directory, tarselPath(), std::string(recording) + " //o");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("processed "));
  for (const std::string* text : {&r.out, &r.err}) {
    EXPECT_THAT(*text, Not(HasSubstr("file 1/1")));
    EXPECT_THAT(*text, Not(HasSubstr("\033[K")));
    EXPECT_THAT(*text, Not(HasSubstr("\r")));
  }
}

TEST_F(TerminalProgressTest, CtrlCClearsTheLineBeforeItsText) {
  ProgramResult r = runOnTerminal(*directory, {recording, "//o"}, [](pid_t pid) {
    kill(pid, SIGINT);
  });
  if (r.out.find("[Ctrl]+C") == std::string::npos) GTEST_SKIP() << "the run ended first";
  // No drawing is left standing before "[Ctrl]+C": the handler clears a line still shown
  // (a drawing followed by anything but a carriage return fails below).
  expectEveryDrawingCleared(r.out);
}

// --help, --version, --print-layout and NO_COLOR, answered before the qualifier engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class Conventions : public ::testing::Test {
 protected:
  ProgramResult tarsel(const std::string& arguments, const std::string& environment = "") {
    return runProgram(dir, tarselPath(), arguments, environment);
  }
  TempDir dir;
};

}  // namespace

TEST_F(Conventions, HelpAndVersionGoToStandardOutputWithStatusZero) {
  for (const char* option : {"--help", "-h", "x.rec --help", "--version", "-V"}) {
    ProgramResult r = tarsel(option);
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(r.err, "") << option;
  }
  EXPECT_EQ(tarsel("--version").out, "tarsel 2.1\n");
  EXPECT_EQ(tarsel("-V").out, "tarsel 2.1\n");
  EXPECT_EQ(tarsel("-h").out, tarsel("--help").out);
  // The engine's own help is unchanged.
  EXPECT_THAT(tarsel("//?").out, HasSubstr("tarsel v.2.1: Convert VELOX-E recorded data\n"));
}

TEST_F(Conventions, HelpNamesEveryQualifierOfTheEngineUsage) {
  const std::string help = tarsel("--help").out;
  const std::string usage = tarsel("//h").err;
  std::regex line("\n  /([^/:]+): ([^\n(]*)");
  int seen = 0;
  for (std::sregex_iterator m(usage.begin(), usage.end(), line), end; m != end; ++m, ++seen) {
    const std::string key = (*m)[1];
    EXPECT_TRUE(std::regex_search(help, std::regex("\n  /" + std::regex_replace(key, std::regex("\\$"), "\\$") + " +/[a-z]")))
        << key;
  }
  EXPECT_EQ(seen, 32);  // the 31 of the converter and /report
  for (const char* file : {"-cv.out", "pp-<recording>.txt", "track-<destination>.gpx",
                           "header_in.txt", "vcapture_<destination>.avi", "ant_pos-"})
    EXPECT_THAT(help, HasSubstr(file));
}

TEST_F(Conventions, PrintedLayoutConvertsLikeTheBuiltInOne) {
  writeFile(dir.file("a.rec"), headerAndSignalBatches(1, 3));
  ProgramResult printed = tarsel("--print-layout");
  ASSERT_EQ(printed.status, 0);
  EXPECT_EQ(printed.out.rfind("{\n    'pingpong': '0x01000000',\n", 0), 0u) << printed.out;
  { std::ofstream(dir.file("layout.json")) << printed.out; }
  ASSERT_EQ(tarsel("a.rec /hfw /o=builtin.out").status, 0);
  ProgramResult r = tarsel("a.rec /hfw /json=layout.json /o=file.out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Configuration file: layout.json"));
  EXPECT_EQ(readFile(dir.file("file.out")), readFile(dir.file("builtin.out")));
}

TEST_F(Conventions, NoColorTurnsColoursOffOnATerminal) {
  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
  // script(1) gives the program a terminal; its transcript is what the terminal showed.
  auto onTerminal = [&](const std::string& environment) {
    const std::string command = "script -qec \"" + environment + " " + tarselPath() +
                                " missing.rec\" " + dir.file("typescript") + " >/dev/null";
    EXPECT_NE(std::system(("cd " + dir.path().string() + " && " + command).c_str()), -1);
    return slurp(dir.file("typescript"));
  };
  EXPECT_THAT(onTerminal("env -u NO_COLOR"), HasSubstr("\x1b["));
  EXPECT_THAT(onTerminal("NO_COLOR=1"), Not(HasSubstr("\x1b[")));
  EXPECT_THAT(onTerminal("NO_COLOR="), Not(HasSubstr("\x1b[")));
}

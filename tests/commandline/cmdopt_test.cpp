// The qualifier engine on the converter's own declarations and on small option sets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commandline/commandline.h"
#include "driver/converter_options.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

/// Empty registries before and after a test's declarations.
struct FreshRegistries {
  FreshRegistries() { zor::reset_registries(); }
  ~FreshRegistries() { zor::reset_registries(); }
};

// The converter's own table, in its registration (and so matching) order.
using ConverterTable = ConverterQualifiers;

/// A file in the temporary directory, removed at the end of the test.
struct TempFile {
  explicit TempFile(const std::string& name, const std::string& content = "x")
      // The process id keeps test programs that run side by side off each other's files.
      : path((fs::temp_directory_path() /
              ("cmdopt_test_" + std::to_string(::getpid()) + "_" + name)).string()) {
    std::ofstream(path) << content;
  }
  ~TempFile() { fs::remove(path); }
  std::string path;
};

bool parseLine(zor::cmdopt& options, std::vector<const char*> args) {
  args.insert(args.begin(), "tarsel");
  return options.parse_command_line(static_cast<int>(args.size()), args.data());
}

class ConverterLine : public ::testing::Test {
 protected:
  bool parse(std::vector<const char*> args) { return parseLine(options, std::move(args)); }
  /// Parses a line that must end with an F message; answers what was written.
  std::string fatal(std::vector<const char*> args) {
    EXPECT_THROW(parse(std::move(args)), ExitCalled);
    return messages.err;
  }

  CapturedMessages messages{3};
  FreshRegistries fresh;
  ConverterTable q;
  zor::cmdopt_autoset options;
  TempFile source{"source.rec"};
  const char* src = source.path.c_str();
  zor::cmdopt_standard& engine = options.standard();
};

TEST_F(ConverterLine, VerbosityMovesTheThresholdWithinItsBounds) {
  EXPECT_TRUE(parse({src, "//vvv"}));
  EXPECT_EQ(engine.verbose.value, 3);
  EXPECT_EQ(msg::threshold(), 0);
}

TEST_F(ConverterLine, NegatedVerboseTakesBackAnEarlierOne) {
  EXPECT_TRUE(parse({src, "//v", "//!v"}));
  EXPECT_EQ(engine.verbose.value, 0);
  EXPECT_EQ(msg::threshold(), 3);
}

TEST_F(ConverterLine, QuietAboveEightFallsBackToSevenButEightStays) {
  EXPECT_TRUE(parse({src, "//qqqqqq"}));
  EXPECT_EQ(msg::threshold(), 7);
  msg::set_threshold(3);
  engine.quiet.value = 0;
  EXPECT_TRUE(parse({src, "//qqqqq"}));
  EXPECT_EQ(msg::threshold(), 8);
}

TEST_F(ConverterLine, DebugWinsOverQuiet) {
  EXPECT_TRUE(parse({src, "//qqdq"}));
  EXPECT_EQ(msg::threshold(), 0);
}

TEST_F(ConverterLine, ResultMaskErrWinsOverWarn) {
  EXPECT_TRUE(parse({src, "//w", "//e"}));
  msg::set_threshold(8);
  msg::error("hidden");
  EXPECT_EQ(msg::result_code(), 0);
}

TEST_F(ConverterLine, KeysMatchInDeclarationOrder) {
  EXPECT_TRUE(parse({src, "/dsp", "/zero=5", "/z"}));
  EXPECT_TRUE(q.onlydsp.given());
  EXPECT_EQ(q.zero.value, 5);
  EXPECT_TRUE(q.fromstby.given());
  EXPECT_FALSE(q.fixdate.given());
  EXPECT_FALSE(q.dryrun.given());
}

TEST_F(ConverterLine, PrefixKeysChainWithinOneArgument) {
  EXPECT_TRUE(parse({src, "/nosignalx", "7", "//vvq", "//ii"}));
  EXPECT_TRUE(q.nosignal.given());
  EXPECT_TRUE(q.analyze.given());
  EXPECT_TRUE(q.log.given());
  EXPECT_FALSE(q.log.has_value);  // an optional value is not taken from the next argument
  EXPECT_EQ(q.examine.value, 7u);
  EXPECT_EQ(engine.verbose.value, 2);
  EXPECT_EQ(engine.quiet.value, 1);
  EXPECT_EQ(options.interaction_level(), 2);
}

TEST_F(ConverterLine, AWholeKeyOrNameIsTakenBeforeShorterPrefixes) {
  std::string json = "/json=" + source.path;
  EXPECT_TRUE(parse({src, json.c_str(), "/concatenate", "/videoout=3", "/fixhr", "/nosignal",
                     "/!videoshow", "/posbug"}));
  EXPECT_EQ(q.json.value, source.path);
  EXPECT_TRUE(q.concatenate.given());
  EXPECT_EQ(q.videoout.value, 3u);
  EXPECT_TRUE(q.fixhr.given());
  EXPECT_FALSE(q.format.given());
  EXPECT_TRUE(q.nosignal.given());
  EXPECT_FALSE(q.analyze.given());
  EXPECT_FALSE(q.log.given());
  EXPECT_TRUE(q.videoshow.given());
  EXPECT_FALSE(q.videoshow.state);
  EXPECT_TRUE(q.posbug.given());
}

TEST_F(ConverterLine, DoubleSlashKeepsThePlainPrefixRule) {
  EXPECT_EQ(fatal({src, "//help"}), "-F: Invalid qualifier lp\n");  // h, e, then nothing
}

TEST_F(ConverterLine, OptionalValueOnlyAfterEquals) {
  EXPECT_TRUE(parse({src, "/concatenate", "/postprocess", "/vshow=40", "/vshow", "/gps=", "5"}));
  EXPECT_FALSE(q.postprocess.has_value);
  EXPECT_EQ(q.videoshow.value, 40u);
  EXPECT_EQ(q.videoshow.count, 2);
  EXPECT_FALSE(q.concatenate.has_value);
  EXPECT_TRUE(q.gps.has_value);  // "key=" with nothing after it takes the next argument
  EXPECT_EQ(q.gps.value, 5u);
}

TEST_F(ConverterLine, EqualsWithNothingAfterItTakesTheNextArgument) {
  EXPECT_TRUE(parse({src, "/json=", source.path.c_str()}));
  EXPECT_EQ(q.json.value, source.path);
  EXPECT_EQ(fatal({src, "/l="}), "-F: Missed qualifier value for log\n");
}

TEST_F(ConverterLine, RequiredValueComesFromTheNextArgumentUninspected) {
  EXPECT_TRUE(parse({src, "/m=", "12", "/o", "//v", "/r", "0x10"}));
  EXPECT_EQ(q.max.value, 12);
  EXPECT_EQ(q.outfile.value, "//v");
  EXPECT_FALSE(engine.verbose.given());
  EXPECT_EQ(q.rows.value, 16);
}

TEST_F(ConverterLine, AbsolutePathsArePositional) {
  EXPECT_TRUE(parse({src, "/n"}));
  EXPECT_EQ(q.binfile.value, source.path);
  EXPECT_TRUE(q.concatenate.given());
  EXPECT_EQ(fatal({src, "/j=/no/such/layout"}),
            "-F: Cannot access file /no/such/layout -- No such file or directory (2)\n");
}

TEST_F(ConverterLine, NumbersUseTheirBasePrefixAndMayEndAtAComma) {
  EXPECT_TRUE(parse({src, "/m=010", "/c=-5", "/x=-1", "/b=0x100000000", "/vframe=0x7FFFFFFF0",
                     "/f=h"}));
  EXPECT_EQ(q.max.value, 8);
  EXPECT_EQ(q.cols.value, -5);
  EXPECT_EQ(q.examine.value, 0xFFFFFFFFu);
  EXPECT_EQ(q.bstart.value, 0xFFFFFFFFu);  // out of range saturates
  EXPECT_EQ(q.videoframe.value, INT32_MAX);
  EXPECT_EQ(q.format.value, 1);
  EXPECT_EQ(fatal({src, "/r=12,x"}), "-F: Invalid qualifier ,x\n");
  EXPECT_EQ(q.rows.value, 12);
}

TEST_F(ConverterLine, ValuesThatDoNotParseAreInvalid) {
  EXPECT_EQ(fatal({src, "/m=12x"}), "-F: Invalid parameter max\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "/fz"}), "-F: Invalid parameter format\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "/j=", ""}), "-F: Invalid parameter json\n");
}

TEST_F(ConverterLine, ScannerErrors) {
  EXPECT_EQ(fatal({src, "/!nosign"}), "-F: not negatable qualifier nosignal\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "/hfw", "/hfw"}), "-F: multiple qualifier firmwareheader\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "/qq"}), "-F: Invalid qualifier qq\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "/m"}), "-F: Missed qualifier value for max\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "extra"}), "-F: Too many parameters (extra)\n");
  messages.err.clear();
  EXPECT_EQ(fatal({"\\"}), "-F: invalid escape char\n");
}

TEST_F(ConverterLine, TrailingNegationIsOnlyAnError) {
  EXPECT_TRUE(parse({src, "/!", "/d"}));
  EXPECT_EQ(messages.err, "-E: Invalid trailing '!'\n");
  EXPECT_TRUE(q.fixdate.given());
}

TEST_F(ConverterLine, MissingRequiredParameterUnlessInteractive) {
  EXPECT_EQ(fatal({}), "-F: Missed required paramters binfile (//? for help)\n");
  messages.err.clear();
  EXPECT_TRUE(parse({"//i"}));
  EXPECT_EQ(messages.err, "");
}

TEST_F(ConverterLine, HiddenFatalsMakeTheParseAnswerFalse) {
  msg::set_threshold(8);
  EXPECT_FALSE(parse({src, "/qq"}));
  EXPECT_FALSE(parse({src, "extra"}));
  EXPECT_FALSE(parse({src, "/m=x"}));
  EXPECT_EQ(msg::counter(msg::F), 3u);
}

TEST_F(ConverterLine, ParenthesisOnANonRepeatableParameterWarns) {
  EXPECT_TRUE(parse({"(", src, ")"}));
  EXPECT_EQ(messages.err, "-W: '(' on non repeatable parameter binfile\n");
}

TEST_F(ConverterLine, RedirectSendsLaterMessagesToStandardOutput) {
  fatal({src, "//r", "/qq"});
  EXPECT_EQ(messages.out, "-F: Invalid qualifier qq\n");
  EXPECT_EQ(messages.err, "");
}

TEST_F(ConverterLine, InputFileMustBeReadable) {
  EXPECT_EQ(fatal({"missing.rec"}),
            "-F: Cannot access file missing.rec -- No such file or directory (2)\n");
  messages.err.clear();
  EXPECT_EQ(fatal({src, "//@", "missing.opt"}),
            "-F: Cannot access file missing.opt -- No such file or directory (2)\n");
}

TEST_F(ConverterLine, BasedirChangesTheWorkingDirectoryDuringTheScan) {
  fs::path before = fs::current_path();
  fs::path dir = fs::temp_directory_path();
  msg::set_threshold(1);
  std::string sourceName = fs::path(source.path).filename().string();
  EXPECT_TRUE(parse({"//b", dir.c_str(), sourceName.c_str()}));
  EXPECT_EQ(fs::current_path(), fs::canonical(dir));
  fs::current_path(before);
  EXPECT_EQ(messages.err, "-i: cmdopt::chdir() to " + dir.string() + "\n");
  messages.err.clear();
  engine.basedir.count = 0;
  EXPECT_EQ(fatal({"//b", "/no/such/dir"}),
            "-F: cannot change directory to /no/such/dir -- No such file or directory (2)\n");
}

// ---- the overwrite question

class OverwriteCheck : public ConverterLine {
 protected:
  bool answer(const char* text) {
    std::FILE* in = std::tmpfile();
    std::fputs(text, in);
    std::rewind(in);
    options.set_answer_stream(in);
    bool accepted = parse({src, "/o", existing.path.c_str(), "//i"});
    options.set_answer_stream(nullptr);
    std::fclose(in);
    return accepted;
  }
  TempFile existing{"existing.out"};
};

TEST_F(OverwriteCheck, ExistingFileStopsWithoutOverwriteQualifiers) {
  EXPECT_EQ(fatal({src, "/o", existing.path.c_str()}),
            "-F: Output file " + existing.path + " exist (use '//o' or '//i' to overwrite)\n");
}

TEST_F(OverwriteCheck, SilentOverwritePasses) {
  msg::set_threshold(1);
  EXPECT_TRUE(parse({src, "/o", existing.path.c_str(), "//o"}));
  EXPECT_TRUE(options.overwrite_silently());
  EXPECT_EQ(messages.err, "-i: cmdopt::silent overwrite enabled\n");
}

TEST_F(OverwriteCheck, AnswersThatArePrefixesOfYesAccept) {
  EXPECT_TRUE(answer("y\n"));
  EXPECT_EQ(messages.err, "-Q: Output file " + existing.path + " exist. Overwrite it (Y,n)? ");
  q.outfile.count = 0;
  EXPECT_TRUE(answer("Ye\n"));
  q.outfile.count = 0;
  EXPECT_TRUE(answer("\n"));
  q.outfile.count = 0;
  EXPECT_FALSE(answer("n\n"));
  q.outfile.count = 0;
  EXPECT_FALSE(answer("yesplease\n"));
  q.outfile.count = 0;
  EXPECT_FALSE(answer(""));  // end of input is no answer
}

struct ReadOnlyFile : zor::cmdopt_outfile {
  using zor::cmdopt_outfile::cmdopt_outfile;
  bool writable() const override {
    errno = EACCES;
    return false;
  }
};

TEST(OutputFile, ExistingFileWithoutWritePermission) {
  CapturedMessages messages{3};
  FreshRegistries fresh;
  zor::select_parameter_registry();
  zor::select_qualifier_registry();
  ReadOnlyFile out{"o", "outfile", "output file"};
  zor::cmdopt_autoset options;
  TempFile existing{"readonly.out"};
  EXPECT_THROW(parseLine(options, {"/o", existing.path.c_str(), "//o"}), ExitCalled);
  EXPECT_EQ(messages.err,
            "-F: no write permission on file " + existing.path + " -- Permission denied (13)\n");
}

// ---- small option sets

/// A repeatable text parameter that keeps every value it is given.
struct Collect : zor::cmdopt_text {
  using zor::cmdopt_text::cmdopt_text;
  bool after_value() override {
    seen.push_back(value);
    return true;
  }
  std::vector<std::string> seen;
};

TEST(ListMode, ParenthesesFillARepeatableParameterThenMoveOn) {
  CapturedMessages messages{3};
  FreshRegistries fresh;
  zor::select_parameter_registry();
  Collect files{"_f", "files", "input files", false, zor::repeatable};
  zor::cmdopt_int limit{"_l", "limit", "limit"};
  zor::cmdopt_autoset options;
  EXPECT_TRUE(parseLine(options, {"(", "a", "b", ")", "7,junk"}));
  EXPECT_EQ(files.seen, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(limit.value, 7);
  EXPECT_EQ(messages.all, "");
}

TEST(Registries, OnlyNamedObjectsOfSelectedRegistriesJoinTheSet) {
  FreshRegistries fresh;
  zor::cmdopt_qualifier before{"x", "x", "declared before any registry"};
  zor::select_qualifier_registry();
  zor::cmdopt_qualifier orphan{"y", "y", "no parameter registry yet"};
  {
    zor::cmdopt_autoset options;
    EXPECT_TRUE(options.qualifiers().empty());  // without a parameter registry nothing is taken
  }
  zor::select_parameter_registry();
  zor::cmdopt_qualifier unnamed{"u", nullptr, "no name"};
  zor::cmdopt_autoset options;
  ASSERT_EQ(options.qualifiers().size(), 1u);
  EXPECT_EQ(options.qualifiers()[0], &orphan);
  EXPECT_TRUE(options.parameters().empty());
  ASSERT_EQ(options.double_qualifiers().size(), 13u);
  std::string keys;
  for (const zor::cmdopt_param* d : options.double_qualifiers()) keys += d->key;
  EXPECT_EQ(keys, "Vvqd?hweibro@");
}

TEST(Rules, ExclusionRuleReportsBothNames) {
  CapturedMessages messages{3};
  FreshRegistries fresh;
  zor::select_parameter_registry();
  zor::select_qualifier_registry();
  zor::cmdopt_qualifier a{"a", "alpha", "a"};
  zor::cmdopt_qualifier b{"b", "beta", "b"};
  zor::cmdopt_autoset options;
  zor::cmdopt_exclusion_rule rule{"ab", a, b};
  options.add_rule(rule);
  EXPECT_TRUE(parseLine(options, {"/a"}));
  EXPECT_THROW(parseLine(options, {"/b"}), ExitCalled);
  EXPECT_EQ(messages.err, "-F: disallowed both of 'alpha' and 'beta'\n");
}

// ---- help text

class HelpText : public ::testing::Test {
 protected:
  /// Runs a line that ends the program with status 0; answers what went to `stream`.
  std::string run(std::vector<const char*> args, bool onStdout = false) {
    onStdout ? testing::internal::CaptureStdout() : testing::internal::CaptureStderr();
    int status = -1;
    try {
      parseLine(options, std::move(args));
    } catch (const ExitCalled& e) {
      status = e.status;
    }
    EXPECT_EQ(status, 0);
    return onStdout ? testing::internal::GetCapturedStdout()
                    : testing::internal::GetCapturedStderr();
  }

  CapturedMessages messages{3};
  FreshRegistries fresh;
  RegistrySelection parameterRegistry{zor::select_parameter_registry};
  zor::cmdopt_infile source{"_s", "source", "source file", true, zor::required};
  zor::cmdopt_int extra{"_e", "extra", nullptr};
  RegistrySelection qualifierRegistry{zor::select_qualifier_registry};
  zor::cmdopt_qualifier sw{"sw", "onlysw", "only SW", false, zor::negatable};
  zor::cmdopt_outfile out{"o", "outfile", "output file", true, zor::required};
  zor::cmdopt_autoset options;
  const std::string usage =
      "Usage: tarsel source extra [qualifier]\n"
      "  source: source file (required)\n"
      "  extra: ?? \n"
      "  /sw: only SW (negatable)\n"
      "  /o: output file (required)\n"
      "  //h: extended help\n";
};

TEST_F(HelpText, UsageListsParametersAndSingleSlashQualifiers) {
  msg::init("tarsel", 3);
  msg::set_auto_summary(0);
  EXPECT_EQ(run({"//?", "//qqqqqq"}), usage);
}

TEST_F(HelpText, ExtendedHelpAddsTheEngineQualifiers) {
  msg::init("tarsel", 3);
  EXPECT_EQ(run({"//h"}), usage +
                              " //V: show version\n"
                              " //v: verbose++ (negatable)\n"
                              " //q: verbose-- (negatable)\n"
                              " //d: debug messages (negatable)\n"
                              " //?: help\n"
                              " //h: full help\n"
                              " //w: mask warnings on return code\n"
                              " //e: mask errors on return code\n"
                              " //i: interactive (prompt) mode (//ii for full interaction) "
                              "(negatable)\n"
                              " //b: set current directory\n"
                              " //r: redirec stderr to stdout\n"
                              " //o: silently overwrite output files\n"
                              " //@: read option from file\n");
}

TEST_F(HelpText, RedirectMovesHelpToStandardOutput) {
  msg::init("tarsel", 3);
  EXPECT_EQ(run({"//r", "//?"}, true), usage);
}

TEST_F(HelpText, VersionComesFirst) {
  msg::set_auto_summary(1);
  EXPECT_EQ(run({"//?", "//V"}), "");
  EXPECT_EQ(messages.err, "-I: cmdopt version 0.1. Application version not available.\n");
}

}  // namespace

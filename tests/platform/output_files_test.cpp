// The files a run writes: a regular file takes its final name only when it is closed, so what
// stood there before survives a run that ends early; devices are written in place; failures
// are reported once per file; no output may be one of the inputs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/output_files.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class OutputFilesTest : public ::testing::Test {
 protected:
  OutputFilesTest() {
    std::string pattern = (fs::temp_directory_path() / "tarsel-outputs-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  ~OutputFilesTest() override { fs::remove_all(dir_); }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir_)) all.push_back(entry.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }
  void put(const std::string& name, const std::string& text) { std::ofstream(file(name)) << text; }

  fs::path dir_;
  std::vector<std::pair<std::string, int>> failures_;
  std::vector<std::pair<std::string, std::string>> clashes_;
  platform::OutputFiles outputs_{
      [this](const std::string& name, int error) { failures_.emplace_back(name, error); },
      [this](const std::string& output, const std::string& input) { clashes_.emplace_back(output, input); }};
};

TEST_F(OutputFilesTest, ANewFileTakesItsNameWhenClosed) {
  platform::OutputFile out = outputs_.open(file("pp-a.txt"), "w");
  ASSERT_TRUE(out);
  std::fputs("line\n", out.get());
  EXPECT_FALSE(fs::exists(file("pp-a.txt")));  // written under a temporary name beside it
  EXPECT_EQ(names().size(), 1u);
  EXPECT_TRUE(out.close());
  EXPECT_EQ(names(), std::vector<std::string>{"pp-a.txt"});
  EXPECT_EQ(contents(file("pp-a.txt")), "line\n");
  EXPECT_EQ(outputs_.closedFiles(), (std::vector<std::pair<std::string, uint64_t>>{{file("pp-a.txt"), 5}}));
  EXPECT_FALSE(out);
  EXPECT_TRUE(failures_.empty());
}

TEST_F(OutputFilesTest, AnEarlierFileKeepsItsContentsAndModeUntilTheClose) {
  put("track.txt", "old\n");
  fs::permissions(file("track.txt"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  {
    platform::OutputFile out = outputs_.open(file("track.txt"), "w");
    std::fputs("new\n", out.get());
    std::fflush(out.get());
    EXPECT_EQ(contents(file("track.txt")), "old\n");
  }
  EXPECT_EQ(contents(file("track.txt")), "new\n");
  EXPECT_EQ(fs::status(file("track.txt")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(OutputFilesTest, DiscardingLeavesWhatStoodBeforeAndNoTemporary) {
  put("a.gpx", "old\n");
  platform::OutputFile old = outputs_.open(file("a.gpx"), "w");
  platform::OutputFile fresh = outputs_.open(file("b.gpx"), "w");
  std::fputs("partial", old.get());
  std::fputs("partial", fresh.get());
  outputs_.discardOpen();
  EXPECT_FALSE(old);
  EXPECT_TRUE(old.close());  // nothing left to close; the discard was no failure
  EXPECT_EQ(names(), std::vector<std::string>{"a.gpx"});
  EXPECT_EQ(contents(file("a.gpx")), "old\n");
  EXPECT_TRUE(outputs_.closedFiles().empty());
}

TEST_F(OutputFilesTest, ALinkIsWrittenThroughAndStaysALink) {
  fs::create_directory(dir_ / "real");
  put("real/out.bin", "old");
  fs::create_symlink("real/out.bin", file("out.bin"));
  {
    platform::OutputFile out = outputs_.open(file("out.bin"), "wb");
    std::fputs("new", out.get());
  }
  EXPECT_TRUE(fs::is_symlink(file("out.bin")));
  EXPECT_EQ(contents(file("real/out.bin")), "new");
  EXPECT_EQ(names(), (std::vector<std::string>{"out.bin", "real"}));
}

TEST_F(OutputFilesTest, DevicesAreWrittenInPlaceAndAFailureIsReportedOnce) {
  {
    platform::OutputFile out = outputs_.open("/dev/null", "w");
    ASSERT_TRUE(out);
    std::fputs("gone", out.get());
  }
  EXPECT_TRUE(failures_.empty());
  EXPECT_FALSE(outputs_.anyFailed());
  platform::OutputFile full = outputs_.open("/dev/full", "w");
  ASSERT_TRUE(full);
  std::setvbuf(full.get(), nullptr, _IONBF, 0);
  for (int i = 0; i < 3; ++i) {
    std::fputs("line\n", full.get());
    EXPECT_FALSE(full.check());
  }
  EXPECT_FALSE(full.close());
  EXPECT_TRUE(outputs_.anyFailed());
  EXPECT_EQ(failures_, (std::vector<std::pair<std::string, int>>{{"/dev/full", ENOSPC}}));
}

TEST_F(OutputFilesTest, AFileThatCannotBeCreatedGivesNoHandle) {
  platform::OutputFile out = outputs_.open(file("no-such-folder/x.txt"), "w");
  EXPECT_FALSE(out);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(outputs_.anyFailed());
}

// Each way an output can name an input: the same name, a hard link, a symbolic link; the
// input may be known before or after the output is planned.
struct Clash {
  const char* name;
  const char* output;
  bool inputFirst;
};

class OutputClash : public OutputFilesTest, public ::testing::WithParamInterface<Clash> {};

TEST_P(OutputClash, IsReportedWithBothNames) {
  put("in.rec", "recording");
  fs::create_hard_link(file("in.rec"), file("hard.out"));
  fs::create_symlink("in.rec", file("soft.out"));
  put("other.out", "x");
  const Clash& c = GetParam();
  if (c.inputFirst) outputs_.addInput(file("in.rec"));
  outputs_.plan(file(c.output));
  outputs_.plan(file("other.out"));
  if (!c.inputFirst) outputs_.addInput(file("in.rec"));
  EXPECT_EQ(clashes_, (std::vector<std::pair<std::string, std::string>>{{file(c.output), file("in.rec")}}));
}

INSTANTIATE_TEST_SUITE_P(Ways, OutputClash,
                         ::testing::Values(Clash{"SameName", "in.rec", true},
                                           Clash{"HardLink", "hard.out", true},
                                           Clash{"SymbolicLink", "soft.out", true},
                                           Clash{"InputFoundLater", "soft.out", false}),
                         [](const ::testing::TestParamInfo<Clash>& param) { return std::string(param.param.name); });

TEST_F(OutputFilesTest, OpeningAnOutputThatIsAnInputIsReported) {
  put("in.rec", "recording");
  outputs_.addInput(file("in.rec"));
  outputs_.addInput(file("missing.rec"));  // not there: nothing to compare
  platform::OutputFile fine = outputs_.open(file("pp-in.rec.txt"), "w");
  EXPECT_TRUE(clashes_.empty());
  platform::OutputFile bad = outputs_.open(file("in.rec"), "w");
  EXPECT_EQ(clashes_.size(), 1u);
  outputs_.discardOpen();
  EXPECT_EQ(contents(file("in.rec")), "recording");
}

}  // namespace

namespace {

TEST(OutputFilesInPlace, AFileIsWrittenUnderItsNameFromTheStart) {
  std::string pattern = (fs::temp_directory_path() / "tarsel-outputs-XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  platform::OutputFiles outputs([](const std::string&, int) {}, [](const std::string&, const std::string&) {},
                                platform::OutputFiles::Naming::inPlace);
  platform::OutputFile out = outputs.open((dir / "t.txt").string(), "w");
  std::fputs("seen", out.get());
  std::fflush(out.get());
  EXPECT_EQ(contents(dir / "t.txt"), "seen");
  out.close();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

}  // namespace

namespace {

TEST(OutputFilesPermissions, AFileThatMayNotBeWrittenIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write every file";
  std::string pattern = (fs::temp_directory_path() / "tarsel-outputs-XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  std::ofstream(dir / "ro.txt") << "kept";
  fs::permissions(dir / "ro.txt", fs::perms::owner_read);
  platform::OutputFiles outputs([](const std::string&, int) {}, [](const std::string&, const std::string&) {});
  EXPECT_FALSE(outputs.open((dir / "ro.txt").string(), "w"));
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(contents(dir / "ro.txt"), "kept");
  fs::remove_all(dir);
}

}  // namespace

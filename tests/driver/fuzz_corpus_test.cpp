// Every input the parser fuzz targets keep in fuzz/corpus/<target> (seeds and inputs that once
// crashed, hung or ran slow) goes through its parser the way the target feeds it; under the
// sanitizer build this is the regression suite for what the fuzzers find. No input may move
// the working directory (the qualifier engine's "//b" is out of the fuzzed list) and the
// products write only under their own names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "../../fuzz/fuzz_inputs.h"
#include "support/recording.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct CorpusInput {
  const fuzzing::Target* target;
  fs::path file;
};

std::vector<CorpusInput> corpusInputs() {
  std::vector<CorpusInput> inputs;
  for (const fuzzing::Target& target : fuzzing::targets) {
    fs::path folder = fs::path(TARSEL_SOURCE_DIR) / "fuzz" / "corpus" / target.name;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) inputs.push_back({&target, file});
  }
  return inputs;
}

std::string inputName(const ::testing::TestParamInfo<CorpusInput>& info) {
  std::string name = std::string(info.param.target->name) + "_" + info.param.file.filename().string();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

class FuzzCorpus : public ::testing::TestWithParam<CorpusInput> {
 protected:
  void SetUp() override {
    previousDirectory = fs::current_path();
    fs::current_path(dir.path());
  }
  void TearDown() override { fs::current_path(previousDirectory); }

  TempDir dir;
  fs::path previousDirectory;
};

TEST_P(FuzzCorpus, InputRunsThroughItsParser) {
  Bytes input = readFile(GetParam().file.string());
  {
    CapturedMessages messages(0);  // every message formatted: the texts take bytes from the data
    try {
      GetParam().target->run(input.data(), input.size());
    } catch (const ExitCalled&) {
    }
  }
  EXPECT_EQ(fs::current_path(), dir.path());
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().filename().string().find("-fuzz."), std::string::npos) << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Parsers, FuzzCorpus, ::testing::ValuesIn(corpusInputs()), inputName);

// Each target keeps seeds that reach past its first checks.
TEST(FuzzCorpusFolders, EveryTargetHasSeeds) {
  for (const fuzzing::Target& target : fuzzing::targets) {
    fs::path folder = fs::path(TARSEL_SOURCE_DIR) / "fuzz" / "corpus" / target.name;
    auto files = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
    EXPECT_GE(files, 2) << target.name;
  }
}

}  // namespace

// Runs the built program in a directory and collects what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/recording.h"

struct ProgramResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

/// Runs `program arguments` (a shell command line) in `directory` with `environment` prefixed.
inline ProgramResult runProgram(const TempDir& dir, const std::string& program,
                                const std::string& arguments, const std::string& environment = "",
                                const std::string& input = "") {
  std::string out = dir.file(".stdout"), err = dir.file(".stderr"), in = dir.file(".stdin");
  { std::ofstream(in) << input; }
  std::string command = "cd '" + dir.path().string() + "' && " + environment + " " + program +
                        " " + arguments + " >'" + out + "' 2>'" + err + "' <'" + in + "'";
  int raw = std::system(command.c_str());
  ProgramResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = slurp(out);
  result.err = slurp(err);
  return result;
}

inline std::string tarselPath(const char* name = "tarsel") {
  return std::string(TARSEL_BINARY_DIR) + "/" + name;
}

/// A folder holding a synthetic flight made by tarsel-synth with `synthArguments` (its first
/// file is "_19-05-17-10-30-00_1.rec"), for a test suite to share; null when the synthesiser failed.
inline std::unique_ptr<TempDir> synthesizedFlight(const std::string& synthArguments) {
  auto dir = std::make_unique<TempDir>();
  ProgramResult synth = runProgram(*dir, tarselPath("tarsel-synth"), synthArguments);
  if (synth.status != 0) {
    ADD_FAILURE() << "tarsel-synth " << synthArguments << ": " << synth.err;
    return nullptr;
  }
  return dir;
}

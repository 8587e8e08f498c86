// Runs the built program in a directory and collects what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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

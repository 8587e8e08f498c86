// The outputs a test's products are created through: write errors and clashes become the
// program's messages, so tests see them as a run would; files are written in place, so a test
// reads what a product flushed while it is still open.
#pragma once

#include <cerrno>
#include <string>

#include "commandline/messages.h"
#include "platform/output_files.h"

inline platform::OutputFiles& testOutputs() {
  static platform::OutputFiles outputs(
      [](const std::string& name, int error) {
        errno = error;
        msg::logSysError(msg::E, "write error on %s", name.c_str());
      },
      [](const std::string& output, const std::string& input) {
        msg::fatal("output %s is the input file %s", output.c_str(), input.c_str());
      },
      platform::OutputFiles::Naming::inPlace);
  return outputs;
}

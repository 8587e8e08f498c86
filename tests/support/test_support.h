// Helpers shared by the tests.
#pragma once

#include <cstdio>
#include <string>

#include "commandline/messages.h"

/// Thrown by the test exit handler where the program would have ended.
struct ExitCalled {
  int status;
};

/// Captures every message text while alive and restores the module afterwards.
class CapturedMessages {
 public:
  explicit CapturedMessages(int threshold = 0) {
    msg::reset();
    msg::set_threshold(threshold);
    msg::setSink([this](FILE* stream, const std::string& text) {
      (stream == stdout ? out : err) += text;
      all += text;
    });
  }
  ~CapturedMessages() {
    msg::setSink(nullptr);
    msg::reset();
  }
  std::string out;  // what went to standard output
  std::string err;  // what went to standard error
  std::string all;  // both, in order
};

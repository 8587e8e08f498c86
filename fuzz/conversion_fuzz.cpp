// libFuzzer target: one damaged recording through a whole conversion (see conversion_run.h).
// F messages like "back retry error" end a run legitimately: the exit handler throws and the
// target catches it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "commandline/messages.h"
#include "conversion_run.h"

namespace {

struct RunEnded {
  int status;
};

void setUpOnce() {
  static bool done = [] {
    // Products write into the working directory: one scratch directory for the whole session.
    char pattern[] = "/tmp/tarsel-conversion-fuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) std::abort();
    msg::setSink([](FILE*, const std::string&) {});
    msg::setExitHandler([](int status) { throw RunEnded{status}; });
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setUpOnce();
  msg::reset();
  msg::init("tarsel", 0);  // format every message: the texts take bytes from the data
  try {
    damaged::convertRecording(data, size);
  } catch (const RunEnded&) {
  }
  return 0;
}

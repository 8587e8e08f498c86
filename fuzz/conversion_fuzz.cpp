// libFuzzer target: one damaged recording through a whole conversion (see conversion_run.h).
// F messages like "back retry error" end a run legitimately: the exit handler throws and the
// target catches it. The recording and the products are written into the private scratch
// folder (scratch_folder.cpp); the working folder never changes.
#include <cstddef>
#include <cstdint>

#include "conversion_run.h"
#include "scratch_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::startInput();
  try {
    damaged::convertRecording(data, size);
  } catch (const fuzzing::RunEnded&) {
  }
  return 0;
}

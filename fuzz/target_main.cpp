// libFuzzer entry of one target of fuzz_inputs.h, chosen by TARSEL_FUZZ_INPUT at compile time.
#include <cstddef>
#include <cstdint>

#include "fuzz_inputs.h"
#include "scratch_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::startInput();
  try {
    fuzzing::TARSEL_FUZZ_INPUT(data, size);
  } catch (const fuzzing::RunEnded&) {
  }
  return 0;
}

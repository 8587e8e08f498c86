// Set-up of the libFuzzer targets (scratch_folder.cpp).
#pragma once

namespace fuzzing {

/// What the exit handler throws when an F message (or a help qualifier) ends the run.
struct RunEnded {
  int status;
};

/// Once per process: the message sink, the exit handler and the scratch folder.
void setUpOnce();
/// Before each input: the message module back to its start values, every message formatted.
void startInput();

}  // namespace fuzzing

// Session post-processing: the history tables and report with the signal block checks, and the
// AESA timing and beam analysis.
#pragma once

#include "postprocess/aesa_timing.h"
#include "postprocess/post_process_state.h"

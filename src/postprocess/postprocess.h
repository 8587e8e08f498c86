// Session post-processing: history tables, AESA analysis, signal checks.
#pragma once

#include <cstdint>

#include "postprocess/post_process_state.h"

/// AESA timing and beam analysis of one TIMER cycle.
void analyzeAesaTiming(const uint8_t* timer, const uint8_t* aesaTx, const uint8_t* aesaRx,
                       const uint8_t* extLink);

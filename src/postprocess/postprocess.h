// Session post-processing: history tables, AESA analysis, signal checks.
#pragma once

#include <cstdint>

struct PostProcessContext;

/// Sets up the post-process tables for `level` (-2: off).
void setUpPostProcess(int32_t level);
void setFixSarHeaders(bool on);
/// Writes the post-processing report at the end of the run.
void reportPostProcess();
/// AESA timing and beam analysis of one TIMER cycle.
void analyzeAesaTiming(const uint8_t* timer, const uint8_t* aesaTx, const uint8_t* aesaRx,
                       const uint8_t* extLink);

// What the DSP header observers learn and count, for the save step, the products and the run.
#pragma once

#include <cstdint>

/// What the header observers learn from the DSP headers: the current matrix size, batch and
/// mode, the standby state and the values the save step and the products read. Written only by
/// the header observers; every other part reads it.
struct HeaderTracking {
  uint32_t currentRows = 0;
  uint32_t currentCols = 0;
  uint32_t currentBatch = 0;
  uint32_t currentMode = 0;
  bool inStandby = false;
  bool standbyWait = false;          // /fromstby given and no restart seen yet
  bool sarSeen = false;
  float lastLatitude = 0;
  uint32_t headerExtract[17] = {};   // words tagAt + 87 ... tagAt + 103 of the latest header
};

/// What the current header observer counts for the run's statistics, and the two per-file
/// flags the source sequence and the fast date fix set again.
struct HeaderCounters {
  uint32_t headerCount = 0;
  uint32_t firstSecs = 0;
  uint32_t lastSecs = 0;
  uint32_t firstTag = 0;
  uint32_t lastTag = 0;
  uint32_t firstBatch = 0;
  uint32_t lastBatch = 0;
  bool firstHeader = true;    // the next header starts the time ranges again
  bool showPosition = true;   // the next header prints its position
};

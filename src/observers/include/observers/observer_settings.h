// What the observers follow of the command line.
#pragma once

#include <cstdint>

/// What the observers read from the converter's qualifiers (filled by start-up).
struct ObserverSettings {
  bool nosignal = false;        // /nosignal given
  bool onlysw = false;          // /onlysw given
  bool posbug = false;          // /posbug given
  bool hsynch = false;          // /hsynch given
  bool fromstby = false;        // /fromstby given
  bool sar = false;             // /sar given
  bool firmwareHeader = false;  // /hfw given
  bool onlydsp = false;         // /onlydsp given
  bool zeroGiven = false;       // /zero given
  int32_t zero = 0;             // its value
  bool bstartGiven = false;     // /bstart given
  uint32_t bstart = 0;
  uint32_t examine = 0;         // /examine value, 0 when absent
  bool videoOut = false;        // /videoout on
  uint32_t videoOutEvery = 1;   // its value, 1 when given without one
  bool videoShow = false;       // state of /videoshow
  bool videoSave = false;       // state of /videosave
  uint32_t frameDelay = 0;      // milliseconds
  int32_t trackMode = -1;       // /gps: -1 absent, 1 without value, else the value
  int32_t postProcessLevel = -2;
  uint32_t rows = 0;            // /rows value: start value of currentRows (0 when absent)
  uint32_t cols = 0;            // /cols value: start value of currentCols (0 when absent)
};

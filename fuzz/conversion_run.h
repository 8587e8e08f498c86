// One whole conversion over a damaged recording, set up the way start-up does it, with every
// check and product that needs no display switched on (/postprocess=5, /gps, /examine=7, /hfw,
// /hsynch, /zero, /videoout). Shared by the conversion fuzz target and the driver test that
// replays its corpus. The recording's last bytes (which stay part of it) choose /fixhr, the
// /zero value, the post-process level (5, or 21 for a size line per block as well), sometimes
// the saving gates (/posbug, /fromstby, /sar, /onlysw, /onlydsp, /nosignal, /bstart), and
// whether and where it is split into numbered files, so blocks straddle file boundaries.
// The recording and the products are files under relative names, all carrying the recording's
// name or "header_in.txt": the test runs in a temporary working directory, the fuzz target
// sends these names into its private folder (scratch_folder.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "converter.h"

namespace damaged {

/// The first file of the sequence a recording is written as.
inline std::string sourceName(unsigned index) {
  return "_19-05-17-10-30-00_" + std::to_string(index) + ".rec";
}

/// What a recording's last bytes choose for its run.
struct Choices {
  bool firmwareHeader = true;
  bool fixSarHeaders = false;
  unsigned files = 1;
  int32_t zero = 0;
  int32_t postProcessLevel = 5;
  uint8_t gates = 0;  // bit 7 set: bits 0 to 6 switch the saving gates on
  size_t cuts[2] = {};
};

inline Choices choose(const uint8_t* data, size_t size) {
  Choices c;
  if (size < 6) return c;
  uint8_t flags = data[size - 1];
  c.files = 1 + ((flags >> 1) & 3) % 3;
  static const int32_t zeros[] = {0, 1, 4, 64, -1, -16, -256, 2};
  c.zero = zeros[(flags >> 3) & 7];
  c.fixSarHeaders = flags & 0x40;
  c.postProcessLevel = data[size - 5] & 1 ? 21 : 5;
  c.gates = data[size - 6] & 0x80 ? data[size - 6] : 0;
  c.cuts[0] = (size_t{data[size - 2]} << 8 | data[size - 3]) * size >> 16;
  c.cuts[1] = c.cuts[0] + (size - c.cuts[0]) * data[size - 4] / 256;
  return c;
}

/// Writes the recording as files 1..n of the sequence; answers n, or 0 when a file cannot be written.
inline unsigned writeSources(const uint8_t* data, size_t size, const Choices& choices) {
  auto write = [](unsigned index, const uint8_t* bytes, size_t length) {
    FILE* file = std::fopen(sourceName(index).c_str(), "wb");
    if (!file) return false;
    bool ok = length == 0 || std::fwrite(bytes, 1, length, file) == length;
    return std::fclose(file) == 0 && ok;
  };
  size_t start = 0;
  unsigned files = 0;
  for (unsigned i = 0; i + 1 < choices.files; ++i) {
    size_t cut = choices.cuts[i];
    if (cut <= start || cut >= size) continue;
    if (!write(++files, data + start, cut - start)) return 0;
    start = cut;
  }
  if (!write(++files, data + start, size - start)) return 0;
  std::remove(sourceName(files + 1).c_str());  // the sequence ends where the recording ends
  return files;
}

inline ObserverSettings observerSettings(const Choices& c) {
  ObserverSettings s;
  s.firmwareHeader = c.firmwareHeader;
  s.hsynch = true;
  s.zeroGiven = true;
  s.zero = c.zero;
  s.examine = 7;
  s.videoOut = true;       // /videoout: every VIDEO frame is saved
  s.trackMode = 1;         // /gps
  s.postProcessLevel = c.postProcessLevel;
  s.posbug = c.gates & 1;
  s.fromstby = c.gates & 2;
  s.sar = c.gates & 4;
  s.onlysw = c.gates & 8;
  s.onlydsp = c.gates & 0x10;
  s.nosignal = c.gates & 0x20;
  s.bstartGiven = c.gates & 0x40;
  s.bstart = 1001;
  return s;
}

/// Converts the `files` written by writeSources with the built-in layout and a destination,
/// as start-up does. An F message ends the run through the message module's exit handler.
inline void convert(const Choices& choices, unsigned files) {
  ConverterSettings settings;
  settings.observers = observerSettings(choices);
  settings.sources.sourceName = sourceName(1);
  settings.sources.concatenate = files > 1 ? -1 : 0;
  settings.fixSarHeaders = choices.fixSarHeaders;
  // The fuzz target redirects names opened with fopen into its scratch folder.
  settings.outputNaming = platform::OutputFiles::Naming::inPlace;
  std::atomic<bool> stop{false};
  Converter converter(std::move(settings), stop);
  if (converter.loadLayout() != nullptr) return;
  converter.openSources();
  converter.run();
}

/// Writes the recording into the working directory and converts it.
inline void convertRecording(const uint8_t* data, size_t size) {
  Choices choices = choose(data, size);
  if (unsigned files = writeSources(data, size, choices)) convert(choices, files);
}

}  // namespace damaged

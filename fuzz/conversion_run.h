// One whole conversion over a damaged recording, set up the way start-up does it, with every
// check and product that needs no display switched on (/postprocess, /gps=0, /examine=7, /zero,
// /hsynch). Shared by the conversion fuzz target and the driver test that replays its corpus.
// The recording's last bytes (which stay part of it) choose /hfw, the /zero value and whether
// and where it is split into numbered files, so blocks straddle file boundaries.
// Runs in the working directory, where the products are written.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/conversion.h"
#include "driver/source_sequence.h"
#include "layout/layout.h"
#include "observers/observers.h"
#include "postprocess/postprocess.h"
#include "soft/soft.h"

namespace damaged {

/// The first file of the sequence a recording is written as.
inline std::string sourceName(unsigned index) {
  return "_19-05-17-10-30-00_" + std::to_string(index) + ".rec";
}

/// What a recording's last bytes choose for its run.
struct Choices {
  bool firmwareHeader = false;
  unsigned files = 1;
  int32_t zero = 0;
  size_t cuts[2] = {};
};

inline Choices choose(const uint8_t* data, size_t size) {
  Choices c;
  if (size < 4) return c;
  uint8_t flags = data[size - 1];
  c.firmwareHeader = flags & 1;
  c.files = 1 + (flags >> 1) % 3;
  static const int32_t zeros[] = {0, 1, 4, 64, -1, -16, -256, 2};
  c.zero = zeros[(flags >> 3) & 7];
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
  s.trackMode = 0;         // /gps=0
  s.postProcessLevel = 0;  // /postprocess
  return s;
}

/// Converts the `files` written by writeSources with the built-in layout and a destination.
/// An F message ends the run through the message module's exit handler.
inline void convert(const Choices& choices, unsigned files) {
  ObserverSettings settings = observerSettings(choices);
  RunSettings run;
  FlowTable table;
  Observers observers(settings, table);
  std::string layoutText(defaultLayoutText());
  std::vector<char> layout(layoutText.begin(), layoutText.end());
  layout.resize(layout.size() + 2048, '\0');
  if (loadFlowTable(layout.data(), table, observers.layoutTargets()) != nullptr) return;

  SourceSettings sourceSettings;
  sourceSettings.sourceName = sourceName(1);
  sourceSettings.concatenate = files > 1 ? -1 : 0;
  std::string destination = destinationNameFor(sourceSettings.sourceName);
  observers.destinationName = destination;
  SourceSequence sources(sourceSettings, observers);
  sources.prepareSources();
  sources.openFirstSource(destination);
  if (!settings.firmwareHeader) observers.values.currentHeaderObserver = &observers.softHeaderObserver;

  SoftDecoder decoder;
  observers.decoder = &decoder;
  PostProcessState postProcess(decoder, observers.values.signalCopy,
                               observers.values.signalCopyLength);
  postProcess.setLastSourceName(&observers.lastSourceName);
  postProcess.setUpPostProcess(settings.postProcessLevel);
  std::atomic<bool> stop{false};
  Conversion conversion(run, table, observers, sources, stop);
  conversion.setPostProcess(&postProcess);
  conversion.runConversion();
}

/// Writes the recording into the working directory and converts it.
inline void convertRecording(const uint8_t* data, size_t size) {
  Choices choices = choose(data, size);
  if (unsigned files = writeSources(data, size, choices)) convert(choices, files);
}

}  // namespace damaged

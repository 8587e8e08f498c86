// One conversion as a whole: the layout, the source sequence, the observers, the decoder,
// post-processing and the run, owned by one object.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/conversion.h"
#include "driver/source_sequence.h"
#include "layout/layout.h"
#include "observers/observers.h"
#include "postprocess/postprocess.h"
#include "soft/soft.h"

/// What one conversion takes from the command line.
struct ConverterSettings {
  ObserverSettings observers;
  RunSettings run;
  SourceSettings sources;
  std::string layoutPath = "<default>";
  std::vector<char> layoutText;         // NUL-terminated, with room to spare
  std::optional<std::string> outfile;   // /o
  std::optional<uint32_t> rows, cols;   // /rows, /cols
  std::optional<int32_t> frameRate;     // /videoframe
  bool fixSarHeaders = false;           // /fixhr
};

/// One conversion, from loading the layout to the closing statistics.
class Converter {
 public:
  Converter(ConverterSettings settings, std::atomic<bool>& stopRequested);
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  /// Loads the layout text into the flow table; answers null or the error text.
  const char* loadLayout();
  /// Names the outputs, prepares the source sequence and opens its first file and the
  /// destination (ending the program when the first file is missing).
  void openSources();
  /// Sets up the display, the current header observer and post-processing, then runs the
  /// conversion; answers the exit status.
  int run();

  const ConverterSettings& settings() const { return settings_; }
  Observers& observers() { return observers_; }

 private:
  ConverterSettings settings_;
  std::atomic<bool>& stopRequested_;
  FlowTable table_;
  Observers observers_{settings_.observers, table_};
  SourceSequence sources_{settings_.sources, observers_};
  SoftDecoder decoder_;
  PostProcessState postProcess_{decoder_, observers_.values.signalCopy,
                                observers_.values.signalCopyLength};
};

/// The built-in layout text in a buffer the loader may write into.
std::vector<char> builtInLayoutText();

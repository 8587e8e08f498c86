// One conversion as a whole: the layout, the source sequence, the observers, the decoder,
// post-processing and the run, owned by one object.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commandline/messages.h"
#include "progress.h"
#include "run_report.h"
#include "scanner.h"
#include "source_sequence.h"
#include "layout/layout.h"
#include "observers/observers.h"
#include "observers/output_writer.h"
#include "platform/output_files.h"
#include "postprocess/postprocess.h"
#include "products/products.h"
#include "soft/soft.h"
#include "video/video.h"

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
  std::string reportPath;               // /report, empty without
  std::string version;                  // shown in the run report
  // Outputs under their own names from the start, for harnesses that redirect what is opened
  // by name (the fuzz targets); a run writes under temporary names.
  platform::OutputFiles::Naming outputNaming = platform::OutputFiles::Naming::temporaryUntilClosed;
};

/// One conversion, from loading the layout to the closing statistics. Owns every part of the
/// run and builds each with its collaborators; the block scanner is built when the run starts.
class Converter {
 public:
  Converter(ConverterSettings settings, std::atomic<bool>& stopRequested);
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  /// Gives back the way the process ended before the conversion was built.
  ~Converter();

  /// Loads the layout text into the flow table; answers null or the error text.
  const char* loadLayout();
  /// Opens the first source file (ending the program when it is missing), then the
  /// destination (ending the program when it cannot be created; none with /analyze).
  void openSources();
  /// Sets up the display and post-processing, then runs the conversion; answers the exit status.
  int run();

  const ConverterSettings& settings() const { return settings_; }
  /// Completes and writes the run report (nothing without /report) with the exit status.
  void writeReport(int exitStatus);
  RunReport& report() { return report_; }

 private:
  void planOutputs();
  void endOfProcess(int status);
  ConverterSettings settings_;
  std::atomic<bool>& stopRequested_;
  // The outputs are named after the destination (after any /o); products that print a file
  // name after the run cleared the message context use the last source file's name.
  const std::string destinationName_;
  std::string lastSourceName_;
  // How the process ended before; an F message now also discards the outputs still open.
  msg::ExitHandler previousExit_;
  bool reportOnExit_ = false;
  // Every output of the run is created here, so it lives longer than each part that writes.
  platform::OutputFiles outputs_;
  FlowTable table_;
  OutputWriter output_{outputs_};
  SoftDecoder decoder_;
  PostProcess postProcess_{decoder_, lastSourceName_, outputs_};
  FlightTrack flightTrack_{destinationName_, lastSourceName_, outputs_};
  AesaTimingAnalysis aesaTiming_{destinationName_, lastSourceName_, outputs_};
  Display display_{outputs_};
  Observers observers_{settings_.observers, table_,
                       ObserverOutputs{outputs_, output_, postProcess_, flightTrack_, display_,
                                       aesaTiming_}};
  SourceSequence sources_{settings_.sources, display_, observers_.headerCounters(),
                          lastSourceName_, outputs_};
  RunReport report_{settings_.reportPath};
  ProgressLine progress_;
};

/// The built-in layout text in a buffer the loader may write into.
std::vector<char> builtInLayoutText();

// Consumers of completed cycles, as the run sees them: the settings they follow, the parts they
// feed, what the DSP header observers learn, and the save step.
#pragma once

#include <cstdint>
#include <memory>

#include "layout/layout.h"
#include "observers/header_tracking.h"
#include "observers/observer_settings.h"
#include "platform/output_files.h"

class AesaTimingAnalysis;
class Display;
class FlightTrack;
class FlowObserver;
class HeaderObserver;
class HeaderSummaryFile;
class OutputWriter;
class PostProcess;
class SaveStep;
class SoftHeaderObserver;

/// The parts outside the observers that they feed; each outlives the observers.
struct ObserverOutputs {
  platform::OutputFiles& files;  // every product file is created through it
  OutputWriter& output;
  PostProcess& postProcess;
  FlightTrack& flightTrack;
  Display& display;
  AesaTimingAnalysis& aesaTiming;
};

/// One conversion's observers, the header tracking they share and the save step.
class Observers {
 public:
  /// The current header observer (whose counters the run reports) is chosen here, once: the
  /// `HeaderObserver` with /hfw, else the `SoftHeaderObserver`.
  Observers(const ObserverSettings& settings, FlowTable& table, const ObserverOutputs& outputs);
  Observers(const Observers&) = delete;
  Observers& operator=(const Observers&) = delete;
  ~Observers();

  /// Saves a completed flow through every gate; true when written whole (or not yet saving).
  bool saveFlow(Flow& flow);
  /// Where loading a layout binds these observers.
  LayoutTargets layoutTargets();
  /// The header observer chosen by the constructor.
  HeaderObserver& currentHeader();
  /// Its counters, which the run reports and the source sequence resets per file.
  HeaderCounters& headerCounters() { return currentCounters_; }
  const HeaderCounters& headerCounters() const { return currentCounters_; }
  /// What the header observers learnt from the latest DSP header.
  const HeaderTracking& tracking() const { return tracking_; }

  const ObserverSettings& settings;
  FlowTable& table;
  OutputWriter& output;
  PostProcess& postProcess;
  /// The flight track (/gps).
  FlightTrack& flightTrack;
  /// The display window and its AVI capture (/videoshow, /videosave).
  Display& display;
  /// The AESA timing and beam analysis (/examine bit 0).
  AesaTimingAnalysis& aesaTiming;
  /// The header summary ("header_in.txt").
  HeaderSummaryFile& headerSummary() { return *headerSummary_; }
  const HeaderSummaryFile& headerSummary() const { return *headerSummary_; }
  FlowObserver& flowObserver() { return *flowObserver_; }
  HeaderObserver& headerObserver() { return *headerObserver_; }
  SoftHeaderObserver& softHeaderObserver() { return *softHeaderObserver_; }

 private:
  friend class ObserverTest;  // sets up header values without decoding a header

  std::unique_ptr<HeaderSummaryFile> headerSummary_;
  HeaderTracking tracking_;
  HeaderCounters firmwareCounters_;   // the header observer's
  HeaderCounters softwareCounters_;   // the software header observer's
  HeaderCounters& currentCounters_;
  std::unique_ptr<SaveStep> saveStep_;
  std::unique_ptr<SoftHeaderObserver> softHeaderObserver_;
  std::unique_ptr<HeaderObserver> headerObserver_;
  std::unique_ptr<FlowObserver> flowObserver_;
};

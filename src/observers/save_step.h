// The save step: writes a completed cycle to the destination once it passes every gate.
#pragma once

#include <cstdint>

#include "layout/layout.h"
#include "observers/header_tracking.h"
#include "observers/observer_settings.h"

class OutputWriter;
class PostProcess;

class SaveStep {
 public:
  /// `currentCounters` are the current header observer's (/bstart waits for its batch).
  SaveStep(const ObserverSettings& settings, const HeaderTracking& tracking,
           const HeaderCounters& currentCounters, OutputWriter& output, PostProcess& postProcess);
  SaveStep(const SaveStep&) = delete;
  SaveStep& operator=(const SaveStep&) = delete;

  /// Saves a completed flow through every gate; true when written whole (or not yet saving).
  bool saveFlow(Flow& flow);

 private:
  bool passStartGate();
  bool passSourceFilter(const Flow& flow, bool& withHeader) const;
  bool refuse(Flow& flow);
  void restoreLatitude(Flow& flow);
  void decodeRecord(const Flow& flow, uint8_t* record, uint32_t length);

  const ObserverSettings& settings_;
  const HeaderTracking& tracking_;
  const HeaderCounters& counters_;
  OutputWriter& output_;
  PostProcess& postProcess_;
  bool savingStarted_ = false;
};

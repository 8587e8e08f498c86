// The observers behind `Observers`: the general flow observer and the two DSP header observers.
#pragma once

#include <cstdint>

#include "layout/layout.h"
#include "observers/header_tracking.h"
#include "observers/observer_settings.h"

class AesaTimingAnalysis;
class Display;
class FlightTrack;
class HeaderSummaryFile;
class PostProcess;
class SaveStep;
class SoftHeaderObserver;

/// What every observer works with; each part outlives the observers.
struct ObserverContext {
  const ObserverSettings& settings;
  FlowTable& table;
  PostProcess& postProcess;
  FlightTrack& flightTrack;
  Display& display;
  AesaTimingAnalysis& aesaTiming;
  HeaderSummaryFile& headerSummary;
  const HeaderTracking& tracking;  // written only by the header observers
  SaveStep& save;
};

/// The observer of every flow whose format is not "H": checks, products and saving.
class FlowObserver : public IFlowObserver {
 public:
  /// `softwareHeader` decodes the DSP header copy of each completed "SOFT" flow.
  FlowObserver(const ObserverContext& context, SoftHeaderObserver& softwareHeader)
      : context_(context), softwareHeader_(softwareHeader) {}
  bool onFlowStart(Flow& flow) override;
  void onFlowComplete(Flow& flow) override;
  bool onDuplicateBlock(Flow&, int) override { return true; }
 protected:
  /// The general completion steps (checks, VIDEO, software header, save, captures).
  void completeFlow(Flow& flow);
  const ObserverContext context_;
 private:
  void reportCompletion(Flow& flow);
  void checkSignal(const Flow& flow);
  void handleVideo(Flow& flow);
  void checkExtLink(const Flow& flow);
  void examine(const Flow& flow);
  void analyzeTimer(const Flow& flow);

  // VIDEO: whether the window was started, and the frames since the last one /videoout saved.
  bool videoWindowOpen_ = false;
  uint32_t videoFrameCounter_ = 0;
  uint32_t lastFValue_ = 0;  // the synthesizer's latest "F" value (/examine bit 2)
  SoftHeaderObserver& softwareHeader_;
};

/// Follows the DSP headers of the firmware header flow.
class HeaderObserver : public FlowObserver {
 public:
  /// `ownCounters` are this observer's, `tracking` the observers' header tracking, which only the
  /// header observers write.
  HeaderObserver(const ObserverContext& context, HeaderCounters& ownCounters,
                 HeaderTracking& tracking, SoftHeaderObserver& softwareHeader)
      : FlowObserver(context, softwareHeader), counters(ownCounters), tracking_(tracking) {}
  bool onFlowStart(Flow& flow) override;
  void onFlowComplete(Flow& flow) override;
  void onFlowFlush(Flow& flow) override;
  virtual void completeOtherFlows(Flow& headerFlow);
  virtual bool decodeHeaderStart(Flow& flow, uint32_t base);
  virtual void decodeHeaderTime(Flow& flow, uint32_t base);

  /// What the run reports and the source sequence resets of this observer.
  HeaderCounters& counters;
  HeaderOffsets offsets;
  uint32_t prevBatch = 0;
  uint32_t prevTag = 0;
  int32_t antennaState = -1;

 protected:
  HeaderTracking& tracking_;

 private:
  void checkContinuity(uint32_t batch);
  void checkAntennaDelay(uint32_t tag, uint32_t antennaTag);
  void writeHeaderProducts(const Flow& flow);
};

/// Follows the DSP header copies ("DSPHDRIN") inside the software-recorded data.
class SoftHeaderObserver : public HeaderObserver {
 public:
  SoftHeaderObserver(const ObserverContext& context, HeaderCounters& ownCounters,
                     HeaderTracking& tracking)
      : HeaderObserver(context, ownCounters, tracking, *this) {}
  bool onFlowStart(Flow&) override { return true; }
  void onFlowComplete(Flow& flow) override;
  /// Decodes the copy at data word 25 of a completed "SOFT" flow (nothing with /hfw).
  void decodeSoftwareHeader(Flow& flow);
};

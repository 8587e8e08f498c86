// Consumers of completed cycles: the general flow observer with the destination writer,
// the DSP header observers and the values they share with the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "layout/layout.h"
#include "observers/header_summary.h"

class Display;
class FlightTrack;
class OutputWriter;
class PostProcessState;
class AesaTimingAnalysis;

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

/// The parts outside the observers that they feed; each outlives the observers.
struct ObserverOutputs {
  platform::OutputFiles& files;  // every product file is created through it
  OutputWriter& output;
  PostProcessState& postProcess;
  FlightTrack& flightTrack;
  Display& display;
  AesaTimingAnalysis& aesaTiming;
};

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

/// Writes completed flows into the destination file as records with a 32-byte header.
class OutputWriter {
 public:
  /// The destination is created through `files`.
  explicit OutputWriter(platform::OutputFiles& files) : files_(files) {}
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;
  ~OutputWriter();
  /// Opens (replacing) the destination with a 1 MiB buffer; false with errno set on failure.
  bool open(const std::string& path);
  bool isOpen() const { return bool(file_); }
  /// Flushes and answers the destination's size so far (0 without a destination).
  uint64_t outputPosition();
  /// Writes `length` bytes in one write; reports a failed or short write once (E).
  bool write(const uint8_t* bytes, size_t length);
  /// Current write position (0 without a destination).
  uint64_t position() const { return written_; }
  /// Flushes and closes; a failure is reported as a write error (once).
  void close();
  /// Answers whether a write failed; the file was then cut back to its whole records and closed.
  bool failed() const { return failureReported_; }
 private:
  void reportFailure();
  bool flush();
  void cutToWholeRecords(int descriptor);
  platform::OutputFiles& files_;
  platform::OutputFile file_;
  std::string path_;
  std::unique_ptr<char[]> buffer_;
  uint64_t written_ = 0;
  uint64_t onDisk_ = 0;                 // bytes known to be written by the last flush
  std::vector<uint64_t> pendingEnds_;   // record ends since then
  bool failureReported_ = false;
};

class Observers;

/// The observer of every flow whose format is not "H": checks, products and saving.
class FlowObserver : public IFlowObserver {
 public:
  explicit FlowObserver(Observers& owner) : owner_(owner) {}
  bool onFlowStart(Flow& flow) override;
  void onFlowComplete(Flow& flow) override;
  bool onDuplicateBlock(Flow&, int) override { return true; }
 protected:
  /// The general completion steps (checks, VIDEO, software header, save, captures).
  void completeFlow(Flow& flow);
  Observers& owner_;
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
};

/// Follows the DSP headers of the firmware header flow.
class HeaderObserver : public FlowObserver {
 public:
  /// `tracking` is the observers' header tracking, which only the header observers write.
  HeaderObserver(Observers& owner, HeaderTracking& tracking)
      : FlowObserver(owner), tracking_(tracking) {}
  bool onFlowStart(Flow& flow) override;
  void onFlowComplete(Flow& flow) override;
  void onFlowFlush(Flow& flow) override;
  virtual void completeOtherFlows(Flow& headerFlow);
  virtual bool decodeHeaderStart(Flow& flow, uint32_t base);
  virtual void decodeHeaderTime(Flow& flow, uint32_t base);

  uint32_t headerCount = 0;
  HeaderOffsets offsets;
  uint32_t firstSecs = 0;
  uint32_t lastSecs = 0;
  uint32_t firstTag = 0;
  uint32_t lastTag = 0;
  uint32_t firstBatch = 0;
  uint32_t lastBatch = 0;
  uint32_t prevBatch = 0;
  bool firstHeader = true;
  bool showPosition = true;
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
  SoftHeaderObserver(Observers& owner, HeaderTracking& tracking)
      : HeaderObserver(owner, tracking) {}
  bool onFlowStart(Flow&) override { return true; }
  void onFlowComplete(Flow& flow) override;
  /// Decodes the copy at data word 25 of a completed "SOFT" flow (nothing with /hfw).
  void decodeSoftwareHeader(Flow& flow);
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
  /// The header observer whose counters the run and the source sequence read.
  HeaderObserver& currentHeader() { return currentHeader_; }
  const HeaderObserver& currentHeader() const { return currentHeader_; }
  /// What the header observers learnt from the latest DSP header.
  const HeaderTracking& tracking() const { return tracking_; }

  const ObserverSettings& settings;
  FlowTable& table;
  OutputWriter& output;
  PostProcessState& postProcess;
  /// The flight track (/gps).
  FlightTrack& flightTrack;
  /// The display window and its AVI capture (/videoshow, /videosave).
  Display& display;
  /// The AESA timing and beam analysis (/examine bit 0).
  AesaTimingAnalysis& aesaTiming;
  HeaderSummaryFile headerSummary;

 private:
  friend class ObserverTest;  // sets up header values without decoding a header
  HeaderTracking tracking_;

 public:
  FlowObserver flowObserver;
  HeaderObserver headerObserver;
  SoftHeaderObserver softHeaderObserver;

 private:
  bool passStartGate();
  bool passSourceFilter(const Flow& flow, bool& withHeader) const;
  bool refuse(Flow& flow);
  void restoreLatitude(Flow& flow);
  void decodeRecord(const Flow& flow, uint8_t* record, uint32_t length);

  HeaderObserver& currentHeader_;
  bool savingStarted_ = false;
};

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
#include "postprocess/postprocess.h"
#include "products/products.h"
#include "video/video.h"

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

/// The eleven values of the latest firmware header that the AESA analysis reads, in header order.
struct HeaderSummaryValues {
  uint32_t timeTag = 0;           // word 25
  uint32_t antennaTag = 0;        // word 112
  float antennaValues[6] = {};    // words 113 to 118
  uint32_t secondTag = 0;         // word 228
  float secondValues[2] = {};     // words 235, 236
};

class HeaderObserver;
class SoftDecoder;

/// Values the observers share with each other and with the run.
struct RunValues {
  uint32_t currentRows = 0;
  uint32_t currentCols = 0;
  uint32_t currentBatch = 0;
  uint32_t currentMode = 0;
  bool sarSeen = false;
  float lastLatitude = 0;
  bool inStandby = false;
  bool savingStarted = false;
  bool standbyWait = false;     // /fromstby given and no restart seen yet
  HeaderObserver* currentHeaderObserver = nullptr;
  std::unique_ptr<uint8_t[]> signalCopy;  // 4 MiB once allocated
  uint32_t signalCopyLength = 0;
  uint32_t signalCopyFilled = 0;          // the most bytes any copy filled; zeros beyond
  std::unique_ptr<uint8_t[]> aesaTxCopy, aesaRxCopy, extLinkCopy;  // 32 KiB each
  const uint8_t* latestAesaTx = nullptr;
  const uint8_t* latestAesaRx = nullptr;
  const uint8_t* latestExtLink = nullptr;
  uint32_t lastFValue = 0;
  uint32_t videoFrameCounter = 0;
  bool videoWindowOpen = false;
  uint32_t headerExtract[17] = {};       // words tagAt + 87 ... tagAt + 103 of the latest header
  HeaderSummaryValues summaryValues;
};

/// The header summary table "header_in.txt": one line per firmware header after the first.
class HeaderSummaryFile {
 public:
  explicit HeaderSummaryFile(std::string path = "header_in.txt") : path_(std::move(path)) {}
  HeaderSummaryFile(const HeaderSummaryFile&) = delete;
  HeaderSummaryFile& operator=(const HeaderSummaryFile&) = delete;
  ~HeaderSummaryFile();
  /// Writes the line of the header in the first `length` bytes of `data` (words beyond read
  /// as 0); the first call only creates the file, and a failed creation is retried silently.
  HeaderSummaryValues writeHeaderSummary(const uint8_t* data, size_t length);
 private:
  static constexpr uint32_t firstKeptWord = 11;
  static constexpr uint32_t keptWords = 345;  // words 11 to 355
  std::string path_;
  FILE* file_ = nullptr;
  uint32_t previous_[keptWords] = {};
};

/// Writes completed flows into the destination file as records with a 32-byte header.
class OutputWriter {
 public:
  OutputWriter() = default;
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;
  ~OutputWriter();
  /// Opens (replacing) the destination with a 1 MiB buffer; false with errno set on failure.
  bool open(const std::string& path);
  bool isOpen() const { return file_ != nullptr; }
  /// Flushes and answers the destination's size so far (0 without a destination).
  uint64_t outputPosition();
  /// Writes `length` bytes in one write; reports a failed or short write once (E).
  bool write(const uint8_t* bytes, size_t length);
  /// Current write position (0 without a destination).
  uint64_t position() const { return written_; }
  /// Flushes and closes; a failure is reported as a write error (once).
  void close();
 private:
  void reportFailure();
  FILE* file_ = nullptr;
  std::string path_;
  std::unique_ptr<char[]> buffer_;
  uint64_t written_ = 0;
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
};

/// Follows the DSP headers of the firmware header flow.
class HeaderObserver : public FlowObserver {
 public:
  explicit HeaderObserver(Observers& owner) : FlowObserver(owner) {}
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

 private:
  void checkContinuity(uint32_t batch);
  void checkAntennaDelay(uint32_t tag, uint32_t antennaTag);
  void writeHeaderProducts(const Flow& flow);
};

/// Follows the DSP header copies ("DSPHDRIN") inside the software-recorded data.
class SoftHeaderObserver : public HeaderObserver {
 public:
  explicit SoftHeaderObserver(Observers& owner) : HeaderObserver(owner) {}
  bool onFlowStart(Flow&) override { return true; }
  void onFlowComplete(Flow& flow) override;
  /// Decodes the copy at data word 25 of a completed "SOFT" flow (nothing with /hfw).
  void decodeSoftwareHeader(Flow& flow);
};

/// One conversion's observers and the state they share.
class Observers {
 public:
  Observers(const ObserverSettings& settings, FlowTable& table);
  Observers(const Observers&) = delete;
  Observers& operator=(const Observers&) = delete;
  ~Observers();

  /// Saves a completed flow through every gate; true when written whole (or not yet saving).
  bool saveFlow(Flow& flow);
  /// Where loading a layout binds these observers.
  LayoutTargets layoutTargets();

  const ObserverSettings& settings;
  FlowTable& table;
  RunValues values;
  OutputWriter output;
  HeaderSummaryFile headerSummary;
  FlowObserver flowObserver;
  HeaderObserver headerObserver;
  SoftHeaderObserver softHeaderObserver;
  /// The software-data decoder the save step hands records to (null: none).
  SoftDecoder* decoder = nullptr;
  /// Name of the last source file, for products that print it after the run cleared the context.
  std::string lastSourceName;
  /// The destination name after any /o (derived output names are built from it).
  std::string destinationName;
  /// The flight track (/gps), named after the destination.
  FlightTrack flightTrack{destinationName, lastSourceName};
  /// The display window and its AVI capture (/videoshow, /videosave).
  Display display;
  /// The AESA timing and beam analysis (/examine bit 0), named after the destination.
  AesaTimingAnalysis aesaTiming{destinationName, lastSourceName};

 private:
  bool passStartGate();
  bool passSourceFilter(const Flow& flow, bool& withHeader) const;
  bool refuse(Flow& flow);
  void restoreLatitude(Flow& flow);
  void decodeRecord(const Flow& flow, const uint8_t* record, uint32_t length);
};

// The post-process tables of one conversion: the handlers of the software-recorded blocks,
// the session history items and files, the block statistics and the signal block checks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "aesa_catalogue.h"
#include "postprocess/flow_copies.h"
#include "history_files.h"
#include "history_items.h"
#include "soft/soft.h"

/// Block counts by name for the end report: one group ("PP") with one entry per source and name.
struct BlockStatistics {
  struct Entry {
    uint32_t count = 0;
    uint32_t code = 0;          ///< the source id of the latest count
    bool hasSourceName = false;
    std::string sourceName;     ///< of the latest count, when hasSourceName
  };
  struct Group {
    uint32_t count = 0;
    std::map<std::string, Entry> entries;  ///< byte-wise key order
  };
  std::map<std::string, Group> groups;
};

/// Everything /postprocess follows during one conversion. Registers its handlers with the
/// decoder in setUpPostProcess; writes "pp-<file>.txt" and "pp-aesa-<file>.txt" in the working
/// directory; hands its standby flag to the console logger for as long as it lives.
class PostProcessState {
 public:
  /// Sizes of the fixed message buffers (what each handler reads from its payload).
  static constexpr uint32_t bus1553Size = 1832;
  static constexpr uint32_t cdpstsSize = 1680;
  static constexpr uint32_t cmpcSize = 620;
  static constexpr uint32_t aesaRxSize = 4260;
  static constexpr uint32_t aesaTxSize = 8224;
  static constexpr uint32_t sarrSize = 268;
  static constexpr uint32_t lastHeaderSize = 1424;

  /// `lastSourceName` is the name of the last source file, used where the message context was
  /// already cleared (the end-of-run flush); both must outlive this object.
  PostProcessState(SoftDecoder& decoder, const std::string& lastSourceName,
                   platform::OutputFiles& outputs);
  PostProcessState(const PostProcessState&) = delete;
  PostProcessState& operator=(const PostProcessState&) = delete;
  /// Closes the history files and takes the standby flag back from the console logger.
  ~PostProcessState();

  /// Stores the level (-2: off), installs the console logger and registers every handler and
  /// the history hook with the decoder. Call once, before the first record.
  void setUpPostProcess(int32_t level);
  /// The current source file name: the message context, else the last source file's name.
  const char* sourceText() const;
  /// Switches the SAR header fix of "DSPHDRIN" copies on or off (/fixhr).
  void setFixSarHeaders(bool on) { fixSarHeaders_ = on; }
  /// Decodes one saved record. The record is the flow's own storage, handed over writable on
  /// purpose: with /fixhr the SAR fix of each "DSPHDRIN" copy is written into it.
  void decodeRecord(uint32_t sourceId, const char* sourceName, std::span<uint8_t> record);
  /// The flow copies the signal checks and the timing analysis read; the flow observer fills them.
  FlowCopies& copies() { return copies_; }
  /// Writes the block counts (I) and the corrupted signal block count (E).
  void reportPostProcess();

  /// The decoder's block callback: counts the block and runs the line check.
  void historyHook(uint32_t code, const char* name);

  // Handlers, called by the decoder for the names they are registered under; each answers 0.
  /// "D1553": time, bus mode, heading, antenna azimuth, altitude and position (a payload
  /// shorter than the bus record changes nothing).
  int onBus1553(const BlockInfo& info);
  /// "CDPSTS": batch, time tag, mode, "Rad", waveform, health, detections; then a line check.
  int onCdpsts(const BlockInfo& info);
  /// "DSPHDRIN": walks the header copy's "EXT " records, then takes its words (and the SAR fix).
  int onDspHeader(const BlockInfo& info);
  /// "DISPHEAD" chunks: walks their "EXT " records.
  int onDisplayHeader(const BlockInfo& info);
  /// "AESATX": decodes the command dump for the AESA file.
  int onAesaTx(const BlockInfo& info);
  /// "AESARX": status words and the response dump.
  int onAesaRx(const BlockInfo& info);
  /// Signal block checks of "SUM", "DAZ", "DEL" and "GUARD" (level 5 and more).
  int onSum(const BlockInfo& info);
  /// As onSum, without the FPGA comparison and the zero runs.
  int onDaz(const BlockInfo& info);
  /// As onDaz.
  int onDel(const BlockInfo& info);
  /// As onDaz, named "GUA" in the messages.
  int onGuard(const BlockInfo& info);
  /// "EXT CMPC": scale and standby.
  int onCompression(const XinfoRecord& record);
  /// "EXT SARR": the SAR table (cut to 268 bytes) and its waveform.
  int onSarRecord(const XinfoRecord& record);
  /// "EXT DETR", "EXT STTD", "EXT MTTR": recognised, nothing read.
  int onIgnoredExtension(const XinfoRecord& record);

  /// The post-process level given to setUpPostProcess.
  int32_t level() const { return level_; }
  /// Whether the latest "EXT CMPC" (or the bus mode word) said standby.
  bool standby() const { return standby_; }
  /// Batch of the first DSP header copy; 0 until one was seen.
  uint32_t firstDspBatch() const { return firstDspBatch_; }
  /// The latest DSP header copy, after any SAR fix.
  std::span<const uint8_t> lastHeader() const { return lastHeader_; }
  /// Markers and zero runs found in signal blocks so far.
  uint32_t corruptedBlocks() const { return corruptedBlocks_; }
  /// Block counts so far.
  const BlockStatistics& statistics() const { return statistics_; }
  /// The history columns in order.
  const HistoryItems& historyItems() const { return historyItems_; }
  /// Name of the history file once opened ("" before).
  const std::string& historyFileName() const { return historyFileName_; }

 private:
  enum class Signal { sum, daz, del, guard };

  // Reads up to `destination.size()` bytes of the payload; the rest of `destination` is zeroed
  // so that nothing is read past the block. False when the payload is shorter or unreadable.
  bool readPayload(std::span<uint8_t> destination, const BlockInfo& info);
  bool readPayload(std::span<uint8_t> destination, const XinfoRecord& record);
  void countEntry(const char* name, bool countGroup);
  void applySarFix(std::span<uint8_t> header);

  // History lines (history_lines.cpp).
  bool openHistoryFiles();
  void emitHistoryLine();
  bool periodicLineDue();
  void printHistoryLine();
  void printAesaDetail();
  void printCommandGroups();
  void printResponses();

  // Signal block checks (signal_checks.cpp).
  int checkSignal(const BlockInfo& info, Signal kind);
  void scanForMarkers(const char* name, uint32_t batch, uint32_t relative,
                      std::span<const uint8_t> payload);
  void compareWithFpga(const char* name, uint32_t batch, uint32_t relative,
                       std::span<const uint8_t> payload, uint32_t rows, uint32_t cols);
  void scanForZeroRuns(const char* name, uint32_t batch, uint32_t relative,
                       std::span<const uint8_t> payload);

  SoftDecoder& decoder_;
  const std::string& lastSourceName_;
  FlowCopies copies_;
  std::span<uint8_t> record_;  // the record decodeRecord is decoding, empty outside it

  int32_t level_ = -2;
  bool standby_ = false;
  bool fixSarHeaders_ = false;
  bool fixReported_ = false;
  uint32_t lastPeriodicTag_ = 0;
  uint32_t lastPeriodicTime_ = 0;

  HistoryFiles historyFiles_;
  std::string historyContext_;
  std::string historyFileName_;

  std::array<uint8_t, bus1553Size> bus1553_{};
  uint32_t time1553_ = 0;
  std::array<uint8_t, cdpstsSize> cdpsts_{};
  std::array<uint8_t, cmpcSize> cmpc_{};
  std::array<uint8_t, aesaRxSize> aesaRx_{};
  std::array<uint8_t, aesaTxSize> aesaTx_{};
  uint32_t txPending_ = 0;
  uint32_t rxPending_ = 0;
  uint32_t firstDspBatch_ = 0;
  AesaResponseList rxState_;
  AesaCommandList txState_;
  std::array<uint8_t, sarrSize> sarr_{};
  std::array<uint32_t, 3> sarFix_{};
  std::array<uint8_t, lastHeaderSize> lastHeader_{};
  std::vector<uint8_t> headerBuffer_;  // what readExtendedBlock reads; grows to the largest header

  BlockStatistics statistics_;

  uint32_t lastSignalSize_ = 0;
  uint32_t signalBlocks_ = 0;
  uint32_t corruptedBlocks_ = 0;

  // The history columns, in line order; the list must be built before the items.
  HistoryItems historyItems_;
  ItemString time_{historyItems_, "time", false};
  ItemUInt batch_{historyItems_, "Batch", false};
  ItemUInt timeTag_{historyItems_, "TTAG", false};
  ItemStringSmall busMode_{historyItems_, "Mode1553", true};
  ItemUIntSmall mode_{historyItems_, "Mode", true};
  ItemUIntSmall dspMode_{historyItems_, "DSP-Mode", true};
  ItemStringSmall modeName_{historyItems_, "Mode", false};
  ItemStringSmall standbyText_{historyItems_, "STBY", true};
  ItemUInt phase_{historyItems_, "Phase", true};
  ItemUInt subPhase_{historyItems_, "SubPhase", true};
  ItemUInt resourceId_{historyItems_, "ResIdIn", true};
  ItemUInt aesaUpdates_{historyItems_, "A-Upd", false};
  ItemUIntSmall aesaState_{historyItems_, "A-State", true};
  ItemUInt aesaErrors_{historyItems_, "A-Err", true};
  ItemUInt aesaGood_{historyItems_, "A-Ok", false};
  ItemUInt aesaBad_{historyItems_, "A-COM", false};
  ItemStringSmall aesaResult_{historyItems_, "AStr", false};
  ItemBase aesaBreak_{historyItems_, "brk", false};
  ItemUIntSmall scale_{historyItems_, "Scale", true};
  ItemStringSmall scaleName_{historyItems_, "Scale", false};
  ItemUIntSmall radiating_{historyItems_, "Rad", true};
  ItemUIntSmall waveform_{historyItems_, "WF", true};
  ItemStringSmall waveformName_{historyItems_, "WF", false};
  ItemUIntSmall sarWaveform_{historyItems_, "SAR-WF", true};
  ItemHex health_{historyItems_, "Health", true};
  ItemStringSmall healthText_{historyItems_, "Health", false};
  ItemUIntSmallLatched detections_{historyItems_, "Det", false};
  ItemUIntSmall stt_{historyItems_, "STT", false};
  ItemFloat trueHeading_{historyItems_, "TrueHead", false};
  ItemFloat antennaAzimuth_{historyItems_, "Ptaz", false};
  ItemFloat baroAltitude_{historyItems_, "BatoAlt", false};
  ItemFloatSmall latitude_{historyItems_, "Lat", false};
  ItemFloatSmall longitude_{historyItems_, "Lon", false};
};

// The block scanner, the dispatch of blocks into flows and the end of run.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "flow_index.h"
#include "source_sequence.h"
#include "layout/layout.h"
#include "platform/output_files.h"

class Observers;
class PostProcess;
class ProgressLine;
class RunReport;

/// Recorder block framing.
constexpr uint32_t blockHeaderSize = 16;
constexpr uint32_t blockDataSize = 256;
constexpr uint8_t blockMarker[6] = {0x5B, 0x53, 0x41, 0x14, 0x54, 0x5D};
/// Records one flow may have: the layout's and its per-source clones.
constexpr size_t maxFlowSources = 8;

struct RunSettings {
  uint32_t maxBatches = 1000000;
  bool stopOnDamage = false;  // /stop
  bool fastDateFix = false;   // /fixdate with /analyze
};

/// The block scanner: one scan over a source sequence, from the first block to the closing statistics.
class BlockScanner {
 public:
  BlockScanner(const RunSettings& settings, FlowTable& table, Observers& observers,
               SourceSequence& sources, PostProcess& postProcess,
               std::atomic<bool>& stopRequested, RunReport& report,
               platform::OutputFiles& outputs, ProgressLine* progress = nullptr);
  /// Runs the scan and the end of run; answers the exit status 0. The progress line, when
  /// given, ticks at each step of the scan and is finished before the end of run.
  int runConversion();

  uint32_t blockCounter() const { return blockCounter_; }

 private:
  enum class Step { next, stop, resynchronised };
  const uint8_t* readWithContinuation(uint8_t* spare, uint32_t n);
  bool readInto(uint8_t* buffer, uint32_t n);
  Step scanOne();
  Step onBadHeader();
  Step resynchronise();
  bool headerStraddles(const uint8_t* tail, size_t tailLength, uint64_t tailStart, uint64_t& found);
  void dispatch(uint32_t address, uint8_t sourceTag, uint8_t sourceId, const uint8_t* block);
  bool canClone(const Flow& templateFlow) const;
  Flow* cloneFlow(const Flow& templateFlow, uint32_t sourceId, uint32_t address);
  bool allocateFlow(Flow& flow);
  void outOfMemory(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void closeCycle(Flow& flow);
  void endOfRun();
  void printStatistics(uint64_t outputSize);
  void recordTotals(uint64_t outputSize);

  const RunSettings& settings_;
  FlowTable& table_;
  Observers& observers_;
  SourceSequence& sources_;
  std::atomic<bool>& stopRequested_;
  PostProcess& postProcess_;
  RunReport& report_;
  platform::OutputFiles& outputs_;
  ProgressLine* progress_;
  long long& contextNumber_;  // the message context's number: the current block's position
  FlowIndex index_;
  uint64_t blockPos_ = 0;
  uint64_t firstBadPos_ = 0;  // the first bad header of the current series
  bool searching_ = true;
  bool memoryExhausted_ = false;
  bool leadingWarned_ = false;
  int32_t retries_ = 0;
  uint32_t blockCounter_ = 0;
  std::map<uint32_t, uint32_t> unrecognizedAddresses_;
  // A header or block that straddles the end of the read buffer or of a file is put together
  // here; the others are read where they lie.
  uint8_t header_[blockHeaderSize] = {};
  uint8_t block_[blockDataSize] = {};
};

// The run report: what one conversion read, wrote, lost and skipped, as a JSON document for scripts.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

/// Gathers the counts where they happen; written once at the end of the run (or on the way out).
class RunReport {
 public:
  /// Why a run stopped early; the safety work may set a signal or a write error.
  enum class Stop { none, interrupt, terminate, hangup, writeError, fatal };

  explicit RunReport(std::string path = {});
  bool enabled() const { return !path_.empty(); }

  void setVersion(std::string version) { version_ = std::move(version); }
  void addSource(const std::string& name, uint64_t bytes);
  void setDestinationName(const std::string& name) { destination_ = name; }
  void setDestinationBytes(uint64_t bytes) { destinationBytes_ = bytes; }
  void addProduct(const std::string& name, uint64_t bytes);

  void setCyclesSaved(const std::string& flow, unsigned source, uint64_t cycles);
  void partialCycle(const std::string& flow, unsigned source);
  void duplicatedBlock(const std::string& flow, unsigned source);
  void cycleFlushed(const std::string& flow, unsigned source);
  void setUnrecognizedAddresses(uint64_t count) { unrecognized_ = count; }
  void badHeaderSeries(const std::string& file, uint64_t position);
  void resynchronised(const std::string& file, uint64_t position, uint64_t skipped);
  void setRanges(uint32_t firstBatch, uint32_t lastBatch, uint32_t firstSecs, uint32_t lastSecs);
  void setStop(Stop stop) { if (stop_ == Stop::none) stop_ = stop; }
  /// The stop reason from a signal number (2, 15, 1); 0 leaves it as it is.
  void setStopSignal(int signalNumber);

  /// Writes the document under a temporary name and renames it into place; answers success.
  /// Refuses a path that names one of the sources.
  bool write(int exitStatus);
  /// The document as text (for tests).
  std::string text(int exitStatus) const;

 private:
  struct FlowCounts { uint64_t saved = 0, partial = 0, duplicated = 0, flushed = 0; };
  struct Resync { std::string file; uint64_t position, skipped; };
  std::string path_;
  std::string version_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<std::pair<std::string, uint64_t>> sources_, products_;
  std::string destination_;
  uint64_t destinationBytes_ = 0, unrecognized_ = 0;
  std::map<std::pair<std::string, unsigned>, FlowCounts> flows_;
  std::vector<std::pair<std::string, uint64_t>> badHeaders_;
  std::vector<Resync> resyncs_;
  uint32_t firstBatch_ = 0, lastBatch_ = 0, firstSecs_ = 0, lastSecs_ = 0;
  Stop stop_ = Stop::none;
  bool written_ = false;
};

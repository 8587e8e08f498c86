// "header_in.txt": the header summary table, and the values of the latest firmware header that
// the AESA analysis reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/output_files.h"

/// The eleven values of the latest firmware header that the AESA analysis reads, in header order.
struct HeaderSummaryValues {
  uint32_t timeTag = 0;           // word 25
  uint32_t antennaTag = 0;        // word 112
  float antennaValues[6] = {};    // words 113 to 118
  uint32_t secondTag = 0;         // word 228
  float secondValues[2] = {};     // words 235, 236
};

/// The header summary table "header_in.txt": one line per firmware header after the first.
class HeaderSummaryFile {
 public:
  /// The file is created through `outputs`.
  explicit HeaderSummaryFile(platform::OutputFiles& outputs, std::string path = "header_in.txt")
      : outputs_(outputs), path_(std::move(path)) {}
  HeaderSummaryFile(const HeaderSummaryFile&) = delete;
  HeaderSummaryFile& operator=(const HeaderSummaryFile&) = delete;
  /// Writes the line of the header in the first `length` bytes of `data` (words beyond read
  /// as 0); the first call only creates the file, and a failed creation is retried silently.
  HeaderSummaryValues writeHeaderSummary(const uint8_t* data, size_t length);
  /// The values of the latest header written (zeros before the first).
  const HeaderSummaryValues& latest() const { return latest_; }

 private:
  static constexpr uint32_t firstKeptWord = 11;
  static constexpr uint32_t keptWords = 345;  // words 11 to 355, the highest word read

 public:
  /// How far into `data` writeHeaderSummary reads.
  static constexpr size_t bytesRead = size_t{firstKeptWord + keptWords} * 4;

 private:
  platform::OutputFiles& outputs_;
  std::string path_;
  platform::OutputFile file_;
  uint32_t previous_[keptWords] = {};
  HeaderSummaryValues latest_;
};

// The AESA timing and beam analysis: one line per timing-unit block ("TIMER") in the timer file,
// checked against the latest AESA command and response blocks and the synthesizer link, and one
// line per block in the beam position file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "platform/output_files.h"

/// Bytes handed to the analysis; a null data pointer means the block is missing.
using AesaBytes = std::span<const uint8_t>;

/// Values of the latest firmware DSP header that the beam position line shows.
struct AesaHeaderValues {
  uint32_t timeTag = 0;        ///< word 25
  uint32_t antennaTag = 0;     ///< word 112
  float navigation[2] = {};    ///< words 113, 114 ("_NAV")
  float antenna[2] = {};       ///< words 115, 116 ("_ANT")
  float uv[2] = {};            ///< words 121, 122 ("_UV")
  uint32_t secondTag = 0;      ///< word 228 ("__PP")
  float secondValues[2] = {};  ///< words 235, 236
};

/// What a timing line shows besides the blocks themselves.
struct AesaTimerContext {
  uint32_t batch = 0;              ///< batch of the latest DSP header
  const char* timeText = "";       ///< time text of the last flight-track point
  const char* modeName = nullptr;  ///< mode name of the last flight-track point; null shows "?"
  AesaHeaderValues header;         ///< latest firmware header
};

/// The analysis state of one conversion and its two files, "timer-<destination>.txt" and
/// "ant_pos-<destination>.txt", created at the first valid timer block.
class AesaTimingAnalysis {
 public:
  /// Keeps references: the destination name names the files, the last source name fills the
  /// file column when no message context is set, and the files are created through `outputs`.
  AesaTimingAnalysis(const std::string& destinationName, const std::string& lastSourceName,
                     platform::OutputFiles& outputs);
  AesaTimingAnalysis(const AesaTimingAnalysis&) = delete;
  AesaTimingAnalysis& operator=(const AesaTimingAnalysis&) = delete;
  ~AesaTimingAnalysis();

  /// Analyses one timer block with the latest captures (null data: none yet); every read is
  /// limited to the bytes each span holds, bytes beyond read as 0. Warns about deviations (W).
  void analyseTimer(AesaBytes timer, AesaBytes aesaTx, AesaBytes aesaRx, AesaBytes extLink,
                    const AesaTimerContext& context);
  /// Number the next timing line will carry (1 at start).
  uint32_t nextLineNumber() const { return timerLineNumber_; }
  /// Flushes both files (they stay open).
  void flush();

  static constexpr std::size_t timerBlockBytes = 5632;   ///< what a timer block is read for
  static constexpr std::size_t maxEntries = 2048;        ///< beams and synthesizer values kept
  static constexpr std::size_t keptRxWords = 19;         ///< payload bytes 0-75

 private:
  using File = platform::OutputFile;
  using BeamPosition = std::array<float, 6>;
  class TimerBlock;
  class Line;

  void openFiles();
  File createFile(const char* prefix);
  const char* fileName() const;
  void writeReceiveFields(Line& line, AesaBytes aesaRx, int32_t slack);
  uint32_t writeTimerFields(Line& line, const TimerBlock& timer);
  uint32_t takeBeamCommands(AesaBytes aesaTx, uint32_t expected);
  void writeBeamPosition(Line& line, const AesaHeaderValues& header);
  uint32_t takeSynthValues(AesaBytes extLink);
  void compareFrequencies(Line& line, uint32_t beams, uint32_t synths);

  const std::string& destinationName_;
  const std::string& lastSourceName_;
  platform::OutputFiles& outputs_;
  bool filesTried_ = false;  // creation is tried once; a file that failed stays missing
  File timerFile_;
  File antPosFile_;
  uint32_t timerLineNumber_ = 1;
  std::array<uint32_t, keptRxWords> previousRx_{};
  std::array<uint32_t, maxEntries> programmedValues_{};
  std::array<BeamPosition, maxEntries> beamPositions_{};
  std::array<uint32_t, maxEntries> synthValues_{};
};

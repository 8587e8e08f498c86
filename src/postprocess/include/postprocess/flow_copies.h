// The copies of completed flows that post-processing reads later: the latest F-SUM signal and
// the /examine captures of the AESA and synthesizer link traffic.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

/// Filled by the flow observer as cycles complete; read by the signal block checks and the
/// AESA timing analysis. Each buffer is allocated at its first copy.
class FlowCopies {
 public:
  /// The F-SUM copy buffer holds this many bytes once allocated.
  static constexpr uint32_t signalCopyCapacity = 4u << 20;
  /// Each capture holds this many bytes once allocated.
  static constexpr uint32_t captureSize = 32u << 10;

  /// Copies the first signalCopyCapacity bytes at most; bytes beyond the copy keep what an
  /// earlier, longer copy left, and bytes past signalCopyFilled read as 0 (they are not stored:
  /// read them through a span of signalCopyFilled bytes).
  void takeSignalCopy(std::span<const uint8_t> signal);
  /// Copies the cycle, at most captureSize bytes, and zero-fills the rest of the capture.
  void captureAesaTx(std::span<const uint8_t> cycle) { capture(aesaTx_, cycle); }
  void captureAesaRx(std::span<const uint8_t> cycle) { capture(aesaRx_, cycle); }
  void captureExtLink(std::span<const uint8_t> cycle) { capture(extLink_, cycle); }

  /// The latest F-SUM copy (null until the first one; then signalCopyCapacity bytes).
  const uint8_t* signalCopy() const { return signalCopy_.get(); }
  /// Bytes the latest copy filled.
  uint32_t signalCopyLength() const { return signalCopyLength_; }
  /// The most bytes any copy has filled, rounded up to whole words; the buffer reads as 0 beyond.
  uint32_t signalCopyFilled() const { return signalCopyFilled_; }
  /// The latest captures (null until taken; then captureSize bytes).
  const uint8_t* latestAesaTx() const { return aesaTx_.get(); }
  const uint8_t* latestAesaRx() const { return aesaRx_.get(); }
  const uint8_t* latestExtLink() const { return extLink_.get(); }

 private:
  static void capture(std::unique_ptr<uint8_t[]>& buffer, std::span<const uint8_t> cycle);

  std::unique_ptr<uint8_t[]> signalCopy_;
  uint32_t signalCopyLength_ = 0;
  uint32_t signalCopyFilled_ = 0;
  std::unique_ptr<uint8_t[]> aesaTx_, aesaRx_, extLink_;
};

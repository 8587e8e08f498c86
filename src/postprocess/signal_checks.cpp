// Signal block checks: the software copies of the signal matrices ("SUM", "DAZ", "DEL",
// "GUARD") are tested for a change of length, S-Block markers among the samples, for "SUM" a
// difference from the latest F-SUM data and runs of zero samples.
#include <algorithm>
#include <cstring>
#include <string>

#include "commandline/messages.h"
#include "format/format.h"
#include "post_process_state.h"

using format::u32At;

namespace {

constexpr int32_t firstCheckLevel = 5;      // below: no checks
constexpr int32_t everySizeLevel = 21;      // from here: a size line for every block
constexpr uint32_t sblockMarkerWord = 0x5A5A5A5A;
constexpr uint64_t markerScanStart = 16, markerScanTail = 32;
constexpr uint64_t markerSkip = 5;          // the scan resumes this far after a marker
constexpr uint64_t embeddedNameAt = 68;
constexpr uint64_t sblockNameSize = 16;
constexpr uint64_t embeddedHeaderSize = 60;  // what blockInfoFromRaw reads
constexpr uint64_t fpgaSamplesAt = 40;
constexpr uint64_t zeroScanAt = 32;
constexpr int64_t zeroScanTailWords = 128;
constexpr uint32_t zeroRunLimit = 13;
constexpr uint64_t rowsAt = 4 * uint64_t{26}, colsAt = 4 * uint64_t{27};  // in the latest DSP header copy

const char* signalName(int kind) {
  static const char* const names[] = {"SUM", "DAZ", "DEL", "GUA"};
  return names[kind];
}

}  // namespace

int PostProcessState::checkSignal(const BlockInfo& info, Signal kind) {
  if (level_ < firstCheckLevel) return 0;
  const char* name = signalName(static_cast<int>(kind));
  uint32_t batch = info.word10;
  uint32_t relative = batch - firstDspBatch_;
  uint32_t length = info.size;
  uint32_t rows = u32At(lastHeader_, rowsAt), cols = u32At(lastHeader_, colsAt);
  uint32_t expected = 4 * rows * cols;
  if (level_ >= everySizeLevel || (length != lastSignalSize_ && level_ != firstCheckLevel))
    msg::warning("%s %u(%u) size: %u -> %u (%u) <- %u (%u) [%u,%u]", name, batch, relative,
                 lastSignalSize_, length, signalBlocks_, expected, length - expected - 56, rows,
                 cols);
  // The scans need the samples in memory; a reader without direct access offers none.
  if (const uint8_t* data = decoder_.blockPointer(info)) {
    std::span<const uint8_t> payload(data, length);
    scanForMarkers(name, batch, relative, payload);
    if (kind == Signal::sum) {
      if (copies_.signalCopy()) compareWithFpga(name, batch, relative, payload, rows, cols);
      scanForZeroRuns(name, batch, relative, payload);
    }
  }
  lastSignalSize_ = length;
  ++signalBlocks_;
  return 0;
}

void PostProcessState::scanForMarkers(const char* name, uint32_t batch, uint32_t relative,
                                      std::span<const uint8_t> payload) {
  const uint64_t length = payload.size();
  if (length <= markerScanStart + markerScanTail) return;
  const uint64_t end = length - markerScanTail;  // a marker must start before this
  const uint8_t* data = payload.data();
  uint64_t p = markerScanStart;
  while (p < end) {
    // Every byte offset is a candidate; jump to the next one that can start a marker.
    const void* hit = std::memchr(data + p, 0x5A, end - p);
    if (hit == nullptr) break;
    p = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - data);
    if (u32At(payload, p) != sblockMarkerWord) {
      ++p;
      continue;
    }
    // The recorded block's name runs to its first NUL, which a full 16-character name lacks,
    // and is at most those 16 characters; the name and header may run past the signal: only
    // the bytes inside count.
    std::string text;
    if (p + embeddedNameAt < length) {
      const uint8_t* start = data + p + embeddedNameAt;
      const uint8_t* limit = start + std::min<uint64_t>(sblockNameSize, length - p - embeddedNameAt);
      text.assign(start, std::find(start, limit, uint8_t{0}));
    }
    uint8_t raw[embeddedHeaderSize] = {};
    std::memcpy(raw, data + p, std::min(embeddedHeaderSize, length - p));
    BlockInfo embedded{};
    SoftDecoder::blockInfoFromRaw(&embedded, std::span<const uint8_t>(raw));
    msg::error("%s %u(%u): Marker inside signal +%u: %s: %u", name, batch, relative,
               static_cast<uint32_t>(p), text.c_str(), embedded.word10);
    ++corruptedBlocks_;
    p += markerSkip;
  }
}

void PostProcessState::compareWithFpga(const char* name, uint32_t batch, uint32_t relative,
                                       std::span<const uint8_t> payload, uint32_t rows,
                                       uint32_t cols) {
  // Sample counts are 32-bit, as in the size line.
  const uint32_t samples = rows * cols;
  if (4 * samples > copies_.signalCopyLength())
    msg::error("%s %u(%u): FPGA[%u,%u] too small %u", name, batch, relative, rows, cols,
               copies_.signalCopyLength());
  if (samples == 0) return;
  // The comparison runs over the whole matrix: past the latest copy the buffer still holds what
  // earlier F-SUM cycles left there (zeros past the most any of them filled), and samples past
  // the block read as 0. Where both read 0 nothing can differ, so the walk ends there; walking
  // on would cost every tiny block of a damaged record a scan of the whole buffer.
  uint64_t filled = std::min(copies_.signalCopyFilled(), FlowCopies::signalCopyCapacity);
  std::span<const uint8_t> copy(copies_.signalCopy(), filled);  // words past it read as 0
  uint64_t blockWords = payload.size() > fpgaSamplesAt ? (payload.size() - fpgaSamplesAt) / 4 : 0;
  uint64_t count = std::min<uint64_t>(samples, std::max(blockWords, (filled + 3) / 4));
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t dsp = u32At(payload, fpgaSamplesAt + 4 * i);
    uint32_t fpga = u32At(copy, 4 * i);
    if (dsp == fpga) continue;
    msg::error("%s %u(%u): FPGA[%u,%u]->DSP mismatch @%u [%u,%u] 0x%X != 0x%X", name, batch,
               relative, rows, cols, static_cast<uint32_t>(i), static_cast<uint32_t>(i / cols),
               static_cast<uint32_t>(i % cols), fpga, dsp);
    return;
  }
}

void PostProcessState::scanForZeroRuns(const char* name, uint32_t batch, uint32_t relative,
                                       std::span<const uint8_t> payload) {
  int64_t words = static_cast<int64_t>(payload.size() / 4) - zeroScanTailWords;
  uint32_t run = 0;
  for (int64_t i = 0; i < words; ++i) {
    if (u32At(payload, zeroScanAt + 4 * uint64_t(i)) != 0) {
      run = 0;
      continue;
    }
    if (++run < zeroRunLimit) continue;
    msg::error("%s %u(%u): Zeros inside signal +%u: %d", name, batch, relative,
               static_cast<uint32_t>(i), static_cast<int>(zeroRunLimit));
    ++corruptedBlocks_;
    return;
  }
}

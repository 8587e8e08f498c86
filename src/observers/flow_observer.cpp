// The general flow observer: the "--" line, signal checks, products, VIDEO, saving,
// and the /examine captures of a completed cycle.
#include <algorithm>
#include <cstring>

#include "commandline/messages.h"
#include "flow_bytes.h"
#include "flow_observers.h"
#include "header_summary.h"
#include "postprocess/postprocess.h"
#include "save_step.h"
#include "products/products.h"
#include "video/video.h"

using namespace observers_detail;

namespace {

// The bytes of the completed cycle.
std::span<const uint8_t> cycleBytes(const Flow& flow) {
  return std::span<const uint8_t>(flow.data, flow.data ? flow.extent : 0);
}

constexpr uint32_t trailingZeroLimit = 512;
constexpr uint32_t eifSourceId = 0x53;
constexpr uint32_t extLinkEnd = 0xA5A5A5A5;
constexpr uint32_t extLinkMarker = 0x5A5A5A5A;

// /zero below 0: a run of zero bytes at the end of the signal.
void checkTrailingZeros(const Flow& flow, int32_t zero) {
  if (flow.extent < 2 || flow.data[flow.extent - 1] != 0) return;
  uint32_t count = 1;
  // The first byte of the data is never counted.
  for (uint32_t at = flow.extent - 1; at > 1 && count < trailingZeroLimit && flow.data[at - 1] == 0; --at)
    ++count;
  if (int64_t(count) > -int64_t(zero))
    msg::error("Signal Trail Zeros: %u = %f words, %f blocks", count, count * 0.25, count * 0.00390625);
}

// /zero above 0: a run of zero 16-bit samples, leaving out the last 256 bytes.
void checkZeroRuns(const Flow& flow, int32_t zero, uint32_t batch) {
  if (flow.extent < 256) return;
  uint32_t samples = flow.extent / 2 - 128;
  const std::span<const uint8_t> bytes = bytesOf(flow.data, flow.extent);
  int32_t run = 0;
  for (uint32_t i = 0; i < samples; ++i) {
    uint16_t sample = format::u16At(bytes, 2 * uint64_t(i));
    run = sample ? 0 : run + 1;
    if (run == zero) {
      msg::error("Signal zeros: %d - batch %u %u/%u", run, batch, i, samples);
      return;
    }
  }
}

// What a timing line shows of the latest header and track point; words 121 and 122 come
// from the header extract, which starts at the antenna time tag.
AesaTimerContext timerContext(const ObserverContext& observers) {
  const HeaderTracking& tracking = observers.tracking;
  const HeaderSummaryValues& summary = observers.headerSummary.latest();
  AesaTimerContext context;
  context.batch = tracking.currentBatch;
  context.timeText = observers.flightTrack.timeText().c_str();
  context.modeName = observers.flightTrack.modeName();
  AesaHeaderValues& header = context.header;
  header.timeTag = summary.timeTag;
  header.antennaTag = summary.antennaTag;
  header.navigation[0] = summary.antennaValues[0];
  header.navigation[1] = summary.antennaValues[1];
  header.antenna[0] = summary.antennaValues[2];
  header.antenna[1] = summary.antennaValues[3];
  std::memcpy(&header.uv[0], &tracking.headerExtract[121 - 112], sizeof(float));
  std::memcpy(&header.uv[1], &tracking.headerExtract[122 - 112], sizeof(float));
  header.secondTag = summary.secondTag;
  header.secondValues[0] = summary.secondValues[0];
  header.secondValues[1] = summary.secondValues[1];
  return context;
}

}  // namespace

bool FlowObserver::onFlowStart(Flow& flow) {
  flow.cols = context_.tracking.currentCols;
  flow.rows = context_.tracking.currentRows;
  msg::detail2("++%s@%X[%d]: 0x%X", nameOf(flow), flow.sourceId, int(flow.side), halfStart(flow));
  flow.started = 1;
  return true;
}

void FlowObserver::onFlowComplete(Flow& flow) { completeFlow(flow); }

void FlowObserver::completeFlow(Flow& flow) {
  reportCompletion(flow);
  flow.cycles++;
  flow.started = 0;
  const ObserverSettings& settings = context_.settings;
  const HeaderTracking& tracking = context_.tracking;
  if (settings.zeroGiven && nameIs(flow, "F-SUM")) checkSignal(flow);
  if (!settings.onlydsp && nameIs(flow, "SOFT") && flow.sourceId == eifSourceId &&
      firstSoftBlockIs(flow, "D1553\0\0\0"))
    context_.flightTrack.trackPoint(flow.data, flow.extent, settings.trackMode, tracking.currentBatch,
                                  tracking.currentMode);
  if (nameIs(flow, "VIDEO")) {
    handleVideo(flow);
    return;
  }
  if (nameIs(flow, "SOFT") && firstSoftBlockIs(flow, "DSPHDRIN"))
    softwareHeader_.decodeSoftwareHeader(flow);
  context_.save.saveFlow(flow);
  if (tracking.currentCols == 0 || tracking.currentRows == 0 || settings.onlydsp) return;
  if ((settings.examine & 4) && nameIs(flow, "EXTLINK")) checkExtLink(flow);
  if (settings.examine & 1) examine(flow);
}

void FlowObserver::reportCompletion(Flow& flow) {
  flow.expectedBlocks = flow.extent >> 8;
  int32_t missing = int32_t(flow.expectedBlocks - flow.arrivedBlocks);
  msg::log(missing == 0 ? msg::I2 : msg::W, "--%s@%X[%d]: %u b=%u (%d) [%u x %u]", nameOf(flow),
           flow.sourceId, int(flow.side), flow.extent, flow.arrivedBlocks, missing, flow.cols,
           flow.rows);
}

void FlowObserver::checkSignal(const Flow& flow) {
  int32_t zero = context_.settings.zero;
  if (zero < 0) {
    checkTrailingZeros(flow, zero);
  } else if (zero > 0) {
    checkZeroRuns(flow, zero, context_.tracking.currentBatch);
  } else {
    // The software-recorded SUM matrix is compared with this copy later on.
    context_.postProcess.copies().takeSignalCopy(cycleBytes(flow));
  }
}

void FlowObserver::handleVideo(Flow& flow) {
  const ObserverSettings& settings = context_.settings;
  if (settings.videoShow) {
    if (!videoWindowOpen_) {
      videoWindowOpen_ = true;
      context_.display.display_start(0, 0, 0);
      if (context_.display.windowOpen()) {
        const std::span<const uint8_t> bytes = bytesOf(flow.data, flow.extent);
        msg::info("video window: %ux%u (%u)", format::u32At(bytes, 4), format::u32At(bytes, 8),
                  format::u32At(bytes, 12));
      } else {
        msg::info("no display: video window not shown");
      }
    }
    context_.display.display_frame(flow.data, flow.extent);
    if (settings.frameDelay != 0) context_.display.display_delay(settings.frameDelay);
  }
  if (!settings.videoOut) return;
  // The completion already counted this cycle; a saved frame is not counted again.
  // /videoout=0 is never reached, so it saves no frame.
  if (++videoFrameCounter_ == settings.videoOutEvery) {
    context_.save.saveFlow(flow);
    videoFrameCounter_ = 0;
  }
}

// The synthesizer's "F" value in the link traffic; reported when it changes.
void FlowObserver::checkExtLink(const Flow& flow) {
  const uint32_t words = flow.extent / 4;
  const std::span<const uint8_t> bytes = bytesOf(flow.data, flow.extent);
  auto word = [&](uint32_t i) { return format::u32At(bytes, uint64_t(i) * 4); };
  for (uint32_t i = 0; i < words; ++i) {
    uint32_t value = word(i);
    if (value == extLinkEnd) return;
    if (value != extLinkMarker) continue;
    if (i + 1 >= words) return;
    uint32_t kind = word(i + 1);
    if (kind != 0xA0A1 && kind != 0xA0A2) {
      ++i;  // step over the word after the marker
      continue;
    }
    if (i + 4 >= words) return;
    uint32_t fValue = word(i + 4);
    if (fValue != lastFValue_) {
      msg::warning("***F: %u -> 0x%X = ", word(i + 3), fValue);
      lastFValue_ = fValue;
    }
    return;
  }
}

void FlowObserver::examine(const Flow& flow) {
  FlowCopies& copies = context_.postProcess.copies();
  if (nameIs(flow, "TIMER")) {
    analyzeTimer(flow);
  } else if (nameIs(flow, "SOFTDFE")) {
    if (firstSoftBlockIs(flow, "AESATX\0\0"))
      copies.captureAesaTx(cycleBytes(flow));
    else if (firstSoftBlockIs(flow, "AESARX\0\0"))
      copies.captureAesaRx(cycleBytes(flow));
  } else if (nameIs(flow, "EXTLINK")) {
    copies.captureExtLink(cycleBytes(flow));
  }
}

// Every block goes over with its length; a capture not taken yet goes over as null.
void FlowObserver::analyzeTimer(const Flow& flow) {
  const FlowCopies& copies = context_.postProcess.copies();
  auto captured = [](const uint8_t* copy) {
    return AesaBytes(copy, copy ? FlowCopies::captureSize : 0);
  };
  context_.aesaTiming.analyseTimer(cycleBytes(flow), captured(copies.latestAesaTx()),
                                 captured(copies.latestAesaRx()), captured(copies.latestExtLink()),
                                 timerContext(context_));
}

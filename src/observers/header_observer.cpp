// The DSP header observers: batch continuity, standby, antenna delay and position from the
// firmware header flow, or from the header copies in the software-recorded data.
#include <algorithm>
#include <cstring>

#include "commandline/messages.h"
#include "observers/flow_bytes.h"
#include "observers/observers.h"

using namespace observers_detail;

namespace {

constexpr uint32_t softHeaderBase = 25;  // the copy starts at word 25 of a "DSPHDRIN" block
constexpr uint32_t sarModeCode = 21;
constexpr double degreesPerRadian = 57.29577951308;

// Header words may lie anywhere in the flow's storage (the layout places them); a word
// outside the cycle and the filled area reads as 0.
size_t readableBytes(const Flow& flow) { return std::max(flow.extent, flow.capacity); }

uint32_t headerWord(const Flow& flow, uint32_t base, uint32_t n) {
  return format::u32At(bytesOf(flow.data, readableBytes(flow)), (uint64_t(base) + n) * 4);
}

float headerFloat(const Flow& flow, uint32_t base, uint32_t n) {
  return format::f32At(bytesOf(flow.data, readableBytes(flow)), (uint64_t(base) + n) * 4);
}

}  // namespace

bool HeaderObserver::onFlowStart(Flow& flow) {
  if (!owner_.settings.firmwareHeader) return true;
  completeOtherFlows(flow);
  return decodeHeaderStart(flow, 0);
}

void HeaderObserver::onFlowComplete(Flow& flow) {
  if (owner_.settings.firmwareHeader) {
    decodeHeaderTime(flow, 0);
    completeFlow(flow);
  }
  writeHeaderProducts(flow);
}

void HeaderObserver::onFlowFlush(Flow& flow) { completeFlow(flow); }

// With /hsynch the signal flows of the previous batch end where the next header begins.
void HeaderObserver::completeOtherFlows(Flow& headerFlow) {
  if (!owner_.settings.hsynch) return;
  for (auto& entry : owner_.table) {
    Flow& flow = *entry;
    if (&flow == &headerFlow || flow.extent == 0 || flow.firmware != 1 || flow.idle != 0) continue;
    // Judged as at a cycle change: a stray block far into a flow is no cycle of fill bytes.
    uint32_t expected = flow.extent / flowBlockSize, arrived = flow.distinctBlocks();
    if (arrived == expected)
      flow.consumer().onFlowComplete(flow);
    else
      msg::error("%s: partial flow disregarded, arrived=%u, expected=%u", nameOf(flow), arrived,
                 expected);
    // Cleared as the run clears a judged cycle, so the run does not judge it again.
    flow.reset();
  }
}

bool HeaderObserver::decodeHeaderStart(Flow& flow, uint32_t base) {
  if (base == 0 && !bytesAre(flow, 16, "HDR0", 4)) {
    msg::detail1("****%s@%X[%d]: 0x%X", nameOf(flow), flow.sourceId, int(flow.side), halfStart(flow));
    return false;
  }
  RunValues& values = owner_.values;
  headerCount++;
  values.currentRows = headerWord(flow, base, offsets.rowsAt);
  values.currentCols = headerWord(flow, base, offsets.colsAt);
  uint32_t batch = values.currentBatch = lastBatch = headerWord(flow, base, offsets.batchAt);
  lastTag = headerWord(flow, base, offsets.tagAt);
  int level = msg::I1;
  if (firstHeader) {
    firstBatch = batch;
    firstTag = lastTag;
    level = msg::I;
  } else {
    checkContinuity(batch);
  }
  msg::log(level, "!!%s@%X[%d]: 0x%X  %u (%u): %ux%u", nameOf(flow), flow.sourceId, int(flow.side),
           halfStart(flow), batch, lastTag, values.currentCols, values.currentRows);
  prevBatch = lastBatch;
  return true;
}

// A hole starts a standby; the first continuous batch after it ends the standby and the
// /fromstby wait.
void HeaderObserver::checkContinuity(uint32_t batch) {
  RunValues& values = owner_.values;
  if (batch == prevBatch + 1) {
    if (values.inStandby) {
      msg::info("batch restart: %u -> %u (%u) - exit from standby?", prevBatch, batch, batch - prevBatch);
      values.standbyWait = false;
    }
    values.inStandby = false;
  } else {
    if (!values.inStandby)
      msg::warning("batch hole: %u -> %u (%u) - standby?", prevBatch, batch, batch - prevBatch);
    values.inStandby = true;
  }
}

void HeaderObserver::decodeHeaderTime(Flow& flow, uint32_t base) {
  if (base == 0 && !bytesAre(flow, 16, "HDR0", 4)) return;
  RunValues& values = owner_.values;
  uint32_t tag = headerWord(flow, base, offsets.tagAt);
  uint32_t antennaTag = headerWord(flow, base, offsets.tagAt + 87);
  values.currentMode = headerWord(flow, base, offsets.batchAt + 10);
  uint32_t secs = lastSecs = headerWord(flow, base, offsets.timestampAt + 1);
  bool first = firstHeader;
  if (first) {
    firstSecs = secs;
    firstHeader = false;
  }
  msg::log(first ? msg::I : msg::I2, "++%s@%X[%d]: 0x%X  %u (%u): %ux%u %u:%u:%u", nameOf(flow),
           flow.sourceId, int(flow.side), halfStart(flow), values.currentBatch, tag, values.currentCols,
           values.currentRows, secs / 3600, secs % 3600 / 60, secs % 60);
  if (!first) checkAntennaDelay(tag, antennaTag);
  prevTag = tag;
  if (showPosition) {
    float latitude = float(headerFloat(flow, base, offsets.tagAt + 77) * degreesPerRadian);
    float longitude = float(headerFloat(flow, base, offsets.tagAt + 78) * degreesPerRadian);
    msg::info("A/C position: %f latitude, %f longitude", latitude, longitude);
    showPosition = false;
  }
}

// The antenna data of a batch normally belongs to the batch itself; one batch late is
// reported once, a larger lag every time.
void HeaderObserver::checkAntennaDelay(uint32_t tag, uint32_t antennaTag) {
  if (tag != antennaTag && antennaTag == prevTag) {
    if (antennaState <= 0)
      msg::warning("Ant delay=1: %d 0x%X 0x%X (0x%X)", int32_t(tag - antennaTag), tag, antennaTag, antennaTag);
    antennaState = 1;
  } else if (tag != antennaTag) {
    msg::warning("Ant delay>1: %d 0x%X 0x%X (0x%X)", int32_t(tag - antennaTag), tag, antennaTag, prevTag);
    antennaState = 0;
  } else {
    if (antennaState != 0) msg::summaryLine("Ant delay=0: %d 0x%X 0x%X (0x%X)", 0, tag, tag, prevTag);
    antennaState = 0;
  }
}

// Products of every completed firmware header, whichever observer the run reports.
void HeaderObserver::writeHeaderProducts(const Flow& flow) {
  RunValues& values = owner_.values;
  if (headerWord(flow, 0, offsets.tagAt + 8) == sarModeCode) values.sarSeen = true;
  for (uint32_t i = 0; i < 17; ++i) values.headerExtract[i] = headerWord(flow, 0, offsets.tagAt + 87 + i);
  values.lastLatitude = headerFloat(flow, 0, offsets.tagAt + 77);
  values.summaryValues = owner_.headerSummary.writeHeaderSummary(flow.data, readableBytes(flow));
}

void SoftHeaderObserver::onFlowComplete(Flow& flow) {
  decodeHeaderStart(flow, softHeaderBase);
  decodeHeaderTime(flow, softHeaderBase);
}

void SoftHeaderObserver::decodeSoftwareHeader(Flow& flow) {
  if (owner_.settings.firmwareHeader) return;
  decodeHeaderStart(flow, softHeaderBase);
  decodeHeaderTime(flow, softHeaderBase);
}

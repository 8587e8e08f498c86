// The DSP header decoding of both header observers: batch continuity, standby, antenna delay
// and position, from the firmware header flow or from the header copies in the
// software-recorded data.
#include "commandline/messages.h"
#include "header_words.h"
#include "flow_observers.h"

using namespace observers_detail;

namespace {
constexpr uint32_t softHeaderBase = 25;  // the copy starts at word 25 of a "DSPHDRIN" block
constexpr double degreesPerRadian = 57.29577951308;
}  // namespace

bool HeaderObserver::decodeHeaderStart(Flow& flow, uint32_t base) {
  if (base == 0 && !bytesAre(flow, 16, "HDR0", 4)) {
    msg::detail1("****%s@%X[%d]: 0x%X", nameOf(flow), flow.sourceId, int(flow.side), halfStart(flow));
    return false;
  }
  counters.headerCount++;
  tracking_.currentRows = headerWord(flow, base, offsets.rowsAt);
  tracking_.currentCols = headerWord(flow, base, offsets.colsAt);
  uint32_t batch = tracking_.currentBatch = counters.lastBatch = headerWord(flow, base, offsets.batchAt);
  counters.lastTag = headerWord(flow, base, offsets.tagAt);
  int level = msg::I1;
  if (counters.firstHeader) {
    counters.firstBatch = batch;
    counters.firstTag = counters.lastTag;
    level = msg::I;
  } else {
    checkContinuity(batch);
  }
  msg::log(level, "!!%s@%X[%d]: 0x%X  %u (%u): %ux%u", nameOf(flow), flow.sourceId, int(flow.side),
           halfStart(flow), batch, counters.lastTag, tracking_.currentCols, tracking_.currentRows);
  prevBatch = counters.lastBatch;
  return true;
}

// A hole starts a standby; the first continuous batch after it ends the standby and the
// /fromstby wait.
void HeaderObserver::checkContinuity(uint32_t batch) {
  if (batch == prevBatch + 1) {
    if (tracking_.inStandby) {
      msg::info("batch restart: %u -> %u (%u) - exit from standby?", prevBatch, batch, batch - prevBatch);
      tracking_.standbyWait = false;
    }
    tracking_.inStandby = false;
  } else {
    if (!tracking_.inStandby)
      msg::warning("batch hole: %u -> %u (%u) - standby?", prevBatch, batch, batch - prevBatch);
    tracking_.inStandby = true;
  }
}

void HeaderObserver::decodeHeaderTime(Flow& flow, uint32_t base) {
  if (base == 0 && !bytesAre(flow, 16, "HDR0", 4)) return;
  uint32_t tag = headerWord(flow, base, offsets.tagAt);
  uint32_t antennaTag = headerWord(flow, base, offsets.tagAt + 87);
  tracking_.currentMode = headerWord(flow, base, offsets.batchAt + 10);
  uint32_t secs = counters.lastSecs = headerWord(flow, base, offsets.timestampAt + 1);
  bool first = counters.firstHeader;
  if (first) {
    counters.firstSecs = secs;
    counters.firstHeader = false;
  }
  msg::log(first ? msg::I : msg::I2, "++%s@%X[%d]: 0x%X  %u (%u): %ux%u %u:%u:%u", nameOf(flow),
           flow.sourceId, int(flow.side), halfStart(flow), tracking_.currentBatch, tag,
           tracking_.currentCols, tracking_.currentRows, secs / 3600, secs % 3600 / 60, secs % 60);
  if (!first) checkAntennaDelay(tag, antennaTag);
  prevTag = tag;
  if (counters.showPosition) {
    float latitude = float(headerFloat(flow, base, offsets.tagAt + 77) * degreesPerRadian);
    float longitude = float(headerFloat(flow, base, offsets.tagAt + 78) * degreesPerRadian);
    msg::info("A/C position: %f latitude, %f longitude", latitude, longitude);
    counters.showPosition = false;
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

void SoftHeaderObserver::onFlowComplete(Flow& flow) {
  decodeHeaderStart(flow, softHeaderBase);
  decodeHeaderTime(flow, softHeaderBase);
}

void SoftHeaderObserver::decodeSoftwareHeader(Flow& flow) {
  if (context_.settings.firmwareHeader) return;
  decodeHeaderStart(flow, softHeaderBase);
  decodeHeaderTime(flow, softHeaderBase);
}

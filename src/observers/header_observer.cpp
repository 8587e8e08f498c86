// The firmware header flow's observer: the header decoding at the start and end of each cycle
// (with /hfw), the /hsynch completion of the signal flows and the header products.
#include "commandline/messages.h"
#include "header_words.h"
#include "flow_observers.h"
#include "header_summary.h"

using namespace observers_detail;

namespace {
constexpr uint32_t sarModeCode = 21;
}  // namespace

bool HeaderObserver::onFlowStart(Flow& flow) {
  if (!context_.settings.firmwareHeader) return true;
  completeOtherFlows(flow);
  return decodeHeaderStart(flow, 0);
}

void HeaderObserver::onFlowComplete(Flow& flow) {
  if (context_.settings.firmwareHeader) {
    decodeHeaderTime(flow, 0);
    completeFlow(flow);
  }
  writeHeaderProducts(flow);
}

void HeaderObserver::onFlowFlush(Flow& flow) { completeFlow(flow); }

// With /hsynch the signal flows of the previous batch end where the next header begins.
void HeaderObserver::completeOtherFlows(Flow& headerFlow) {
  if (!context_.settings.hsynch) return;
  for (auto& entry : context_.table) {
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

// Products of every completed firmware header, whichever observer the run reports.
void HeaderObserver::writeHeaderProducts(const Flow& flow) {
  if (headerWord(flow, 0, offsets.tagAt + 8) == sarModeCode) tracking_.sarSeen = true;
  for (uint32_t i = 0; i < 17; ++i)
    tracking_.headerExtract[i] = headerWord(flow, 0, offsets.tagAt + 87 + i);
  tracking_.lastLatitude = headerFloat(flow, 0, offsets.tagAt + 77);
  std::span<const uint8_t> bytes = readableUpTo(flow, HeaderSummaryFile::bytesRead);
  context_.headerSummary.writeHeaderSummary(bytes.data(), bytes.size());
}

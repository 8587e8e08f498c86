// One conversion's observers and the save step that writes cycles to the destination.
#include "observers/observers.h"

#include <algorithm>
#include <cstring>

#include "commandline/messages.h"
#include "format/format.h"
#include "observers/flow_bytes.h"
#include "postprocess/postprocess.h"

using namespace observers_detail;

namespace {

constexpr uint32_t dspSourceId = 0x33;
constexpr uint32_t posbugLatitudeAt = 508;  // word 127: latitude of the header copy

// The decoder labels its statistics with the recorder that wrote the record.
const char* sourceNameOf(uint32_t sourceId) {
  switch (sourceId) {
    case 0x53: return "EIF";
    case 0x33: return "DSP";
    case 0x56: return "DFE";
    default: return nullptr;
  }
}

// The record header goes into the headroom in front of the data, so header and data
// leave in one write without a copy.
uint8_t* fillRecordHeader(Flow& flow, uint64_t recordStart) {
  uint8_t* header = flow.data - format::RecordHeader::size;
  format::RecordHeader::forRecord(nameOf(flow), recordStart, flow.extent, uint8_t(flow.sourceId),
                                  uint8_t(flow.sourceTag))
      .write(std::span<uint8_t, format::RecordHeader::size>(header, format::RecordHeader::size));
  return header;
}

}  // namespace

Observers::Observers(const ObserverSettings& runSettings, FlowTable& flowTable,
                     const ObserverOutputs& outputs)
    : settings(runSettings),
      table(flowTable),
      output(outputs.output),
      postProcess(outputs.postProcess),
      flightTrack(outputs.flightTrack),
      display(outputs.display),
      aesaTiming(outputs.aesaTiming),
      headerSummary(outputs.files),
      flowObserver(*this),
      headerObserver(*this, tracking_),
      softHeaderObserver(*this, tracking_),
      currentHeader_(settings.firmwareHeader ? headerObserver : softHeaderObserver) {
  tracking_.currentRows = settings.rows;
  tracking_.currentCols = settings.cols;
  tracking_.standbyWait = settings.fromstby;
}

Observers::~Observers() = default;

LayoutTargets Observers::layoutTargets() {
  return LayoutTargets{&headerObserver, &flowObserver, &headerObserver.offsets,
                       &softHeaderObserver.offsets};
}

bool Observers::saveFlow(Flow& flow) {
  if (!savingStarted_ && !passStartGate()) return true;
  if (flow.extent % flowBlockSize != 0)
    msg::warning("Flow size not multiple of block size: %u", flow.extent);
  if (settings.onlysw && flow.firmware == 1 && !nameIs(flow, "VIDEO")) return refuse(flow);
  if (settings.posbug && bytesAre(flow, 68, "DSPH", 4)) restoreLatitude(flow);
  bool withHeader = true;
  if (!passSourceFilter(flow, withHeader)) return refuse(flow);
  uint8_t* record = flow.data;
  uint32_t length = flow.extent;
  if (withHeader) {
    record = fillRecordHeader(flow, output.position());
    length += format::RecordHeader::size;
  }
  if (settings.postProcessLevel >= -1) decodeRecord(flow, record, length);
  if (settings.sar && !tracking_.sarSeen) {
    msg::info("No SAR... no save");
    return false;
  }
  bool written = output.isOpen() && output.write(record, length);
  flow.idle = 1;
  return written;
}

// /bstart holds saving back until a header has reached the batch.
bool Observers::passStartGate() {
  if (settings.bstartGiven) {
    uint32_t batch = currentHeader_.lastBatch;
    if (batch < settings.bstart) return false;
    msg::info("batch %u - start saving", batch);
  }
  savingStarted_ = true;
  return true;
}

bool Observers::passSourceFilter(const Flow& flow, bool& withHeader) const {
  if (flow.sourceId == dspSourceId) {
    if (settings.nosignal || tracking_.standbyWait) return false;
    withHeader = !(settings.onlydsp && flow.firmware == 0);
    return true;
  }
  withHeader = true;
  return !settings.onlydsp && !tracking_.standbyWait;
}

bool Observers::refuse(Flow& flow) {
  flow.idle = 1;
  return false;
}

// The DSP wrote 0 as the latitude of its header copies; the firmware header has it.
void Observers::restoreLatitude(Flow& flow) {
  if (flow.extent < posbugLatitudeAt + 4) return;
  format::putF32At(std::span<uint8_t>(flow.data, flow.extent), posbugLatitudeAt,
                   tracking_.lastLatitude);
  flow.dirty = std::max(flow.dirty, posbugLatitudeAt + 4);
}

void Observers::decodeRecord(const Flow& flow, uint8_t* record, uint32_t length) {
  long long savedNumber = msg::context_number();
  msg::detail1("PP %llu...%llu", static_cast<unsigned long long>(flow.firstBlockPos),
               static_cast<unsigned long long>(flow.lastBlockPos));
  // The decoder's messages point at the cycle's first block (an unsigned file position, as
  // the scanner sets it).
  msg::set_context_number(static_cast<long long>(flow.firstBlockPos));
  postProcess.decodeRecord(flow.sourceId, sourceNameOf(flow.sourceId),
                           std::span<uint8_t>(record, length));
  msg::set_context_number(savedNumber);
}

// The save step: the gates a completed cycle passes, its record header, post-processing of the
// record and the write to the destination.
#include "save_step.h"

#include <algorithm>
#include <span>

#include "commandline/messages.h"
#include "flow_bytes.h"
#include "format/format.h"
#include "observers/output_writer.h"
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

SaveStep::SaveStep(const ObserverSettings& settings, const HeaderTracking& tracking,
                   const HeaderCounters& currentCounters, OutputWriter& output,
                   PostProcess& postProcess)
    : settings_(settings),
      tracking_(tracking),
      counters_(currentCounters),
      output_(output),
      postProcess_(postProcess) {}

bool SaveStep::saveFlow(Flow& flow) {
  if (!savingStarted_ && !passStartGate()) return true;
  if (flow.extent % flowBlockSize != 0)
    msg::warning("Flow size not multiple of block size: %u", flow.extent);
  if (settings_.onlysw && flow.firmware == 1 && !nameIs(flow, "VIDEO")) return refuse(flow);
  if (settings_.posbug && bytesAre(flow, 68, "DSPH", 4)) restoreLatitude(flow);
  bool withHeader = true;
  if (!passSourceFilter(flow, withHeader)) return refuse(flow);
  uint8_t* record = flow.data;
  uint32_t length = flow.extent;
  if (withHeader) {
    record = fillRecordHeader(flow, output_.position());
    length += format::RecordHeader::size;
  }
  if (settings_.postProcessLevel >= -1) decodeRecord(flow, record, length);
  if (settings_.sar && !tracking_.sarSeen) {
    msg::info("No SAR... no save");
    return false;
  }
  // A large record is written from the flow's storage, which the writer holds until then.
  bool written = output_.isOpen() &&
                 output_.write(record, length, output_.takesLoans(length) ? flow.lendStorage() : nullptr);
  flow.idle = 1;
  return written;
}

// /bstart holds saving back until a header has reached the batch.
bool SaveStep::passStartGate() {
  if (settings_.bstartGiven) {
    uint32_t batch = counters_.lastBatch;
    if (batch < settings_.bstart) return false;
    msg::info("batch %u - start saving", batch);
  }
  savingStarted_ = true;
  return true;
}

bool SaveStep::passSourceFilter(const Flow& flow, bool& withHeader) const {
  if (flow.sourceId == dspSourceId) {
    if (settings_.nosignal || tracking_.standbyWait) return false;
    withHeader = !(settings_.onlydsp && flow.firmware == 0);
    return true;
  }
  withHeader = true;
  return !settings_.onlydsp && !tracking_.standbyWait;
}

bool SaveStep::refuse(Flow& flow) {
  flow.idle = 1;
  return false;
}

// The DSP wrote 0 as the latitude of its header copies; the firmware header has it.
void SaveStep::restoreLatitude(Flow& flow) {
  if (flow.extent < posbugLatitudeAt + 4) return;
  format::putF32At(std::span<uint8_t>(flow.data, flow.extent), posbugLatitudeAt,
                   tracking_.lastLatitude);
  flow.dirty = std::max(flow.dirty, posbugLatitudeAt + 4);
}

void SaveStep::decodeRecord(const Flow& flow, uint8_t* record, uint32_t length) {
  long long savedNumber = msg::context_number();
  msg::detail1("PP %llu...%llu", static_cast<unsigned long long>(flow.firstBlockPos),
               static_cast<unsigned long long>(flow.lastBlockPos));
  // The decoder's messages point at the cycle's first block (an unsigned file position, as
  // the scanner sets it).
  msg::set_context_number(static_cast<long long>(flow.firstBlockPos));
  postProcess_.decodeRecord(flow.sourceId, sourceNameOf(flow.sourceId),
                           std::span<uint8_t>(record, length));
  msg::set_context_number(savedNumber);
}

// The cycle map: for every cycle, where its recorder blocks lie in the whole stream and which
// block closes it, so that a damage campaign knows which cycles a change to the bytes touched.
#include <string>

#include "synth_internal.h"

namespace synth {

int32_t CycleMapper::open(const std::string& flow, uint8_t sourceId, uint32_t address, uint32_t bytes,
                          bool complete) {
  if (!cycles_) return -1;
  CycleRecord record;
  record.flow = flow;
  record.sourceId = sourceId;
  record.cycle = numbers_[{flow, sourceId}]++;
  record.address = address;
  record.bytes = bytes;
  record.complete = complete;
  cycles_->push_back(std::move(record));
  return static_cast<int32_t>(cycles_->size() - 1);
}

// The first block of a cycle closes the cycle of the same flow and source that started before it.
void CycleMapper::block(int32_t cycle, uint64_t offset) {
  if (!cycles_ || cycle < 0) return;
  CycleRecord& record = (*cycles_)[static_cast<size_t>(cycle)];
  if (record.blocks.empty()) {
    auto [last, fresh] = lastStarted_.try_emplace({record.flow, record.sourceId}, static_cast<size_t>(cycle));
    if (!fresh) {
      CycleRecord& before = (*cycles_)[last->second];
      if (before.close < 0) before.close = static_cast<int64_t>(offset);
      last->second = static_cast<size_t>(cycle);
    }
  }
  record.blocks.push_back(offset);
}

std::string cycleMapLines(const Manifest& manifest) {
  std::string out;
  for (const CycleRecord& c : manifest.cycles) {
    if (c.blocks.empty()) continue;
    out += "{\"flow\": \"" + c.flow + "\", \"source\": " + std::to_string(c.sourceId) +
           ", \"cycle\": " + std::to_string(c.cycle) + ", \"complete\": " + (c.complete ? "true" : "false") +
           ", \"address\": " + std::to_string(c.address) + ", \"bytes\": " + std::to_string(c.bytes) +
           ", \"blocks\": [";
    for (size_t i = 0; i < c.blocks.size(); ++i) out += (i ? ", " : "") + std::to_string(c.blocks[i]);
    out += "], \"close\": " + (c.close < 0 ? std::string("null") : std::to_string(c.close)) + "}\n";
  }
  return out;
}

}  // namespace synth

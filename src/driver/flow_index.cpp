#include "driver/flow_index.h"

#include <algorithm>

namespace {

bool inHalf(uint32_t address, uint32_t start, uint32_t end) { return address >= start && address < end; }

bool claims(const Flow& flow, uint32_t address) {
  return inHalf(address, flow.startA, flow.endA) || inHalf(address, flow.startB, flow.endB);
}

}  // namespace

void FlowIndex::rebuild(const FlowTable& table) {
  std::vector<uint64_t> bounds{0, uint64_t{1} << 32};
  for (const auto& flow : table) {
    for (uint64_t b : {uint64_t{flow->startA}, uint64_t{flow->endA}, uint64_t{flow->startB},
                       uint64_t{flow->endB}})
      bounds.push_back(b);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  pieces_.clear();
  for (size_t i = 0; i + 1 < bounds.size(); ++i) {
    Piece piece{bounds[i], bounds[i + 1], {}};
    // Membership is constant inside a piece, so its first address decides.
    uint32_t probe = static_cast<uint32_t>(piece.start);
    for (const auto& flow : table)
      if (claims(*flow, probe)) piece.flows.push_back(flow.get());
    if (!piece.flows.empty()) pieces_.push_back(std::move(piece));
  }
  last_ = nullptr;
}

const FlowIndex::Piece* FlowIndex::pieceFor(uint32_t address) {
  if (last_ && address >= last_->start && address < last_->end) return last_;
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), uint64_t{address},
                             [](uint64_t a, const Piece& p) { return a < p.end; });
  if (it == pieces_.end() || address < it->start) return nullptr;
  last_ = &*it;
  return last_;
}

FlowMatch FlowIndex::find(uint32_t address, uint32_t sourceId) {
  FlowMatch match;
  const Piece* piece = pieceFor(address);
  if (!piece) return match;
  for (Flow* flow : piece->flows) {
    if (flow->sourceId == 0 || flow->sourceId == sourceId) {
      flow->sourceId = sourceId;
      match.flow = flow;
      return match;
    }
    match.templateFlow = flow;
  }
  return match;
}

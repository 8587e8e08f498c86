#include "flow_index.h"

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

void FlowIndex::add(Flow& flow) {
  addHalf(flow, flow.startA, flow.endA);
  addHalf(flow, flow.startB, flow.endB);
  last_ = nullptr;
}

// A piece that `at` falls strictly inside becomes two with the same flows.
void FlowIndex::splitAt(uint64_t at) {
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), at,
                             [](uint64_t a, const Piece& p) { return a < p.end; });
  if (it == pieces_.end() || at <= it->start) return;
  Piece upper{at, it->end, it->flows};
  it->end = at;
  pieces_.insert(it + 1, std::move(upper));
}

// The flow goes last into every piece of [start, end) (it is last in table order); the gaps
// of that range without a piece become pieces of their own. A half whose end wrapped below
// its start claims nothing, as in claims().
void FlowIndex::addHalf(Flow& flow, uint64_t start, uint64_t end) {
  if (start >= end) return;
  splitAt(start);
  splitAt(end);
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), start,
                             [](uint64_t a, const Piece& p) { return a < p.end; });
  uint64_t at = start;
  while (at < end) {
    if (it == pieces_.end() || it->start > at) {
      uint64_t gapEnd = it == pieces_.end() ? end : std::min(end, it->start);
      it = pieces_.insert(it, Piece{at, gapEnd, {&flow}});
    } else if (it->flows.empty() || it->flows.back() != &flow) {
      it->flows.push_back(&flow);  // the other half of the flow may have come first
    }
    at = it->end;
    ++it;
  }
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

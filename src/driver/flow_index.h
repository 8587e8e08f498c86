// Finds the flow of a recorder block by address without walking the whole table.
#pragma once

#include <cstdint>
#include <vector>

#include "layout/layout.h"

/// The answer of a lookup: the flow (null when none), else the template to clone (or null).
struct FlowMatch {
  Flow* flow = nullptr;
  Flow* templateFlow = nullptr;
};

/// Splits the 32-bit address space at every half boundary of the table; each piece keeps the
/// flows whose halves cover it, in table order, so a lookup gives the same answer as the
/// first-match walk of the table (source-id rule and template rule included).
class FlowIndex {
 public:
  /// Rebuilds the index from the table (after loading).
  void rebuild(const FlowTable& table);
  /// Adds a flow appended to the table (a clone): the same answers as a rebuild, at the cost
  /// of the pieces it covers rather than of the whole table.
  void add(Flow& flow);
  /// The first flow in table order that claims `address` for `sourceId` (binding a flow whose
  /// source id is still 0), or the template: the last claimant bound to another source.
  FlowMatch find(uint32_t address, uint32_t sourceId);

 private:
  struct Piece {
    uint64_t start;  // inclusive
    uint64_t end;    // exclusive
    std::vector<Flow*> flows;
  };
  const Piece* pieceFor(uint32_t address);
  void addHalf(Flow& flow, uint64_t start, uint64_t end);
  void splitAt(uint64_t at);
  std::vector<Piece> pieces_;
  const Piece* last_ = nullptr;
};

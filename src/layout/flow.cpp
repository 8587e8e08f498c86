// Storage and cycle state of one flow.
#include <algorithm>
#include <cstring>

#include "layout/layout.h"

void Flow::build() {
  startA = base;
  startB = base + pingpong;
  endA = base + size;
  endB = base + pingpong + size;  // wraps in 32 bits like every address
  maxBlock = size / flowBlockSize;
  capacity = size;
  std::size_t dataBytes = std::size_t{size} + flowHeadroom;  // the last block may reach past size
  storage = std::make_unique_for_overwrite<uint8_t[]>(flowHeadroom + dataBytes);
  data = storage.get() + flowHeadroom;
  std::memset(storage.get(), 0, flowHeadroom);
  std::memset(data, flowFillByte, capacity);
  std::memset(data + capacity, 0, dataBytes - capacity);
  // Indexes above maxBlock are dropped by the scanner, so maxBlock + 1 counters suffice.
  blockCounts.assign(std::size_t{maxBlock} + 1, 0);
  storedBlocks = extent = arrivedBlocks = firstBlockPos = lastBlockPos = dirty = 0;
  started = 0;
  idle = 1;
}

void Flow::reset() {
  // Only the bytes the last cycle could have written differ from the fill byte.
  uint32_t touched = std::max(dirty, extent);
  if (data) std::memset(data, flowFillByte, std::min(touched, capacity));
  std::size_t counters = std::min(blockCounts.size(), std::size_t{touched / flowBlockSize} + 1);
  std::fill_n(blockCounts.begin(), counters, 0u);
  storedBlocks = extent = arrivedBlocks = firstBlockPos = lastBlockPos = dirty = 0;
  started = 0;
  idle = 1;
}

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
  // A layout may name flows it never records: memory follows the blocks that arrive.
  storage.reset();
  data = nullptr;
  blockCounts.clear();
  touched.clear();
  storedBlocks = extent = arrivedBlocks = dirty = 0;
  firstBlockPos = lastBlockPos = 0;
  started = 0;
  idle = 1;
}

void Flow::allocate() {
  if (data) return;
  std::size_t dataBytes = std::size_t{size} + flowHeadroom;  // the last block may reach past size
  auto bytes = std::make_unique_for_overwrite<uint8_t[]>(storageBytes());
  // Indexes above maxBlock are dropped by the scanner, so maxBlock + 1 counters suffice.
  blockCounts.assign(std::size_t{maxBlock} + 1, 0);
  storage = std::move(bytes);
  data = storage.get() + flowHeadroom;
  std::memset(storage.get(), 0, flowHeadroom);
  std::memset(data, flowFillByte, capacity);
  std::memset(data + capacity, 0, dataBytes - capacity);
}

void Flow::store(uint32_t index, const uint8_t* block) {
  arrivedBlocks++;
  idle = 0;
  std::memcpy(data + std::size_t{index} * flowBlockSize, block, flowBlockSize);
  if (blockCounts[index]++ == 0) touched.push_back(index);
  storedBlocks++;
  extent = std::max(extent, (index + 1) * flowBlockSize);
  maxExtent = std::max(maxExtent, extent);
}

uint32_t Flow::distinctBlocks() const {
  uint32_t expected = extent / flowBlockSize;
  return static_cast<uint32_t>(
      std::count_if(touched.begin(), touched.end(), [&](uint32_t i) { return i < expected; }));
}

void Flow::reset() {
  if (data) {
    // The stored blocks and what observers wrote are the only bytes that differ from the fill.
    for (uint32_t index : touched) {
      std::size_t at = std::size_t{index} * flowBlockSize;
      if (at < capacity) std::memset(data + at, flowFillByte, std::min<std::size_t>(flowBlockSize, capacity - at));
      blockCounts[index] = 0;
    }
    std::memset(data, flowFillByte, std::min(dirty, capacity));
  }
  touched.clear();
  storedBlocks = extent = arrivedBlocks = dirty = 0;
  firstBlockPos = lastBlockPos = 0;
  started = 0;
  idle = 1;
}

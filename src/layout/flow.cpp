// Storage and cycle state of one flow.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "layout/layout.h"

void BlockCounts::assign(std::size_t count) {
  clear();
  if (count == 0) return;
  auto* counts = static_cast<uint32_t*>(std::calloc(count, sizeof(uint32_t)));
  if (!counts) throw std::bad_alloc();
  counts_.reset(counts);
  size_ = count;
}

void Flow::build() {
  startA = base;
  startB = base + pingpong;
  endA = base + size;
  endB = base + pingpong + size;  // wraps in 32 bits like every address
  maxBlock = size / flowBlockSize;
  capacity = size;
  // A layout may name flows it never records: memory follows the blocks that arrive.
  storage.reset();
  spareStorage.clear();
  storageLent = false;
  data = nullptr;
  blockCounts.clear();
  touched.clear();
  storedBlocks = extent = arrivedBlocks = dirty = filled = farFrom = farEnd = 0;
  firstBlockPos = lastBlockPos = 0;
  started = 0;
  idle = 1;
}

void Flow::allocate() {
  if (data) return;
  // Mapped pages read as 0 (the headroom and the spare bytes past the capacity, where the last
  // block may reach) and cost nothing until touched; the capacity is filled with 0xCA as
  // stores and readers reach it (fillTo).
  auto bytes = std::make_shared<platform::LendableBytes>(storageBytes());
  // Indexes above maxBlock are dropped by the scanner, so maxBlock + 1 counters suffice.
  blockCounts.assign(std::size_t{maxBlock} + 1);
  storage = std::move(bytes);
  data = storage->get() + flowHeadroom;
  filled = 0;
}

uint8_t* Flow::fillTo(std::size_t end) const {
  if (!data) return data;
  end = std::min<std::size_t>(end, capacity);
  if (end <= filled) return data;
  std::size_t at = filled;
  if (farFrom < farEnd) {
    // Runs of blocks that did not arrive are filled; the far blocks that did are stepped over.
    std::size_t index = std::max<std::size_t>(at / flowBlockSize, farFrom);
    for (; index < farEnd && index * flowBlockSize < end; ++index) {
      if (blockCounts[index] == 0) continue;
      std::size_t blockAt = index * flowBlockSize;
      if (blockAt > at) std::memset(data + at, flowFillByte, blockAt - at);
      at = std::max(at, blockAt + flowBlockSize);
    }
  }
  if (end > at) std::memset(data + at, flowFillByte, end - at);
  filled = static_cast<uint32_t>(end);
  if (farFrom < farEnd && filled >= std::size_t{farEnd} * flowBlockSize) farFrom = farEnd = 0;
  return data;
}

void Flow::store(uint32_t index, const uint8_t* block) {
  arrivedBlocks++;
  idle = 0;
  std::size_t at = std::size_t{index} * flowBlockSize;
  if (at > filled && at - filled > farFill) {
    // Far beyond what is filled: the gap is filled when a reader reaches it.
    if (farFrom == farEnd) farFrom = farEnd = index;
    farFrom = std::min(farFrom, index);
    farEnd = std::max(farEnd, index + 1);
  } else {
    fillTo(at);  // the bytes below the block read as before it arrived
  }
  std::memcpy(data + at, block, flowBlockSize);
  if (at <= filled)
    filled = static_cast<uint32_t>(std::max<std::size_t>(filled, std::min<std::size_t>(at + flowBlockSize, capacity)));
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

bool Flow::storedEverythingFilled() const {
  // The indexes in `touched` are distinct, so as many of them below `filled` as it has blocks
  // means each of its blocks was stored.
  std::size_t below = static_cast<std::size_t>(std::count_if(
      touched.begin(), touched.end(), [&](uint32_t i) { return std::size_t{i} * flowBlockSize < filled; }));
  return below * flowBlockSize >= filled;
}

std::shared_ptr<platform::LendableBytes> Flow::lendStorage() {
  if (!storage) return nullptr;
  bool spareFree = std::any_of(spareStorage.begin(), spareStorage.end(),
                               [](const auto& spare) { return !spare->lent(); });
  if (!spareFree) {
    // One spare always; more while the spares' cycles stay within spareBudget.
    std::size_t cycleBytes = std::max<std::size_t>(maxExtent, farFill);
    if (!spareStorage.empty() && (spareStorage.size() >= maxSpareStorage ||
                                  (spareStorage.size() + 1) * cycleBytes > spareBudget))
      return nullptr;
    try {
      spareStorage.push_back(std::make_shared<platform::LendableBytes>(storageBytes()));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  storageLent = true;
  return storage;
}

// The lent storage becomes a spare; a free spare (lendStorage made sure of one) holds the next
// cycle. Its bytes are those of an earlier cycle: nothing of it counts as filled.
void Flow::takeFreeStorage() {
  auto spare = std::find_if(spareStorage.begin(), spareStorage.end(),
                            [](const auto& s) { return !s->lent(); });
  if (spare == spareStorage.end()) {
    spareStorage.push_back(std::make_shared<platform::LendableBytes>(storageBytes()));
    spare = spareStorage.end() - 1;
  }
  std::swap(storage, *spare);
  data = storage->get() + flowHeadroom;
  storageLent = false;
}

void Flow::reset() {
  bool otherStorage = storageLent;
  if (storageLent) takeFreeStorage();
  if (data && (otherStorage || storedEverythingFilled())) {
    // Every filled byte belongs to a block of this cycle (or to an earlier cycle of another
    // storage): the bytes are left as they are and count as unfilled, so the next cycle's
    // stores (in order, the common case) overwrite them without a fill, and whatever they
    // leave is filled when a reader reaches it. That costs at most the refill it saves.
    for (uint32_t index : touched) blockCounts[index] = 0;
    filled = 0;
  } else if (data) {
    // The stored blocks and what observers wrote are the only filled bytes that differ from
    // the fill; bytes past `filled` are filled when something reaches them.
    for (uint32_t index : touched) {
      std::size_t at = std::size_t{index} * flowBlockSize;
      if (at < filled) std::memset(data + at, flowFillByte, std::min<std::size_t>(flowBlockSize, filled - at));
      blockCounts[index] = 0;
    }
    std::memset(data, flowFillByte, std::min(dirty, filled));
  }
  touched.clear();
  storedBlocks = extent = arrivedBlocks = dirty = 0;
  farFrom = farEnd = 0;
  firstBlockPos = lastBlockPos = 0;
  started = 0;
  idle = 1;
}

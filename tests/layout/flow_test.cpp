// Storage and cycle state of a Flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "layout/layout.h"

namespace {

Flow builtFlow(uint32_t base, uint32_t size, uint32_t pingpong) {
  Flow flow;
  flow.base = base;
  flow.size = size;
  flow.pingpong = pingpong;
  flow.build();
  flow.allocate();
  return flow;
}

// What the scanner does when it stores a block.
void storeBlock(Flow& flow, uint32_t index, uint8_t fill) {
  uint8_t block[flowBlockSize];
  std::memset(block, fill, flowBlockSize);
  flow.store(index, block);
}

// What a reader sees: the bytes up to `to` made readable first, as every reader does.
bool allFill(const Flow& flow, uint32_t from, uint32_t to) {
  const uint8_t* data = flow.fillTo(to);
  return std::all_of(data + from, data + to, [](uint8_t b) { return b == flowFillByte; });
}

bool countersZero(const Flow& flow) {
  return std::all_of(flow.blockCounts.begin(), flow.blockCounts.end(), [](uint32_t c) { return c == 0; });
}

}  // namespace

TEST(Flow, BuildDerivesRangesAndStorage) {
  Flow flow = builtFlow(0x80000000, 0x1000, 0x1000000);
  EXPECT_EQ(flow.startA, 0x80000000u);
  EXPECT_EQ(flow.startB, 0x81000000u);
  EXPECT_EQ(flow.endA, 0x80001000u);
  EXPECT_EQ(flow.endB, 0x81001000u);
  EXPECT_EQ(flow.maxBlock, 16u);
  EXPECT_EQ(flow.capacity, 0x1000u);
  EXPECT_EQ(flow.blockCounts.size(), 17u);
  EXPECT_TRUE(countersZero(flow));
  EXPECT_EQ(flow.data, flow.storage->get() + flowHeadroom);
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
  EXPECT_EQ(flow.idle, 1);
}

TEST(Flow, AddressesWrapInThirtyTwoBits) {
  Flow flow = builtFlow(0xFFFFF000, 0x2000, 0x1000);
  EXPECT_EQ(flow.startB, 0x00000000u);
  EXPECT_EQ(flow.endA, 0x00001000u);
  EXPECT_EQ(flow.endB, 0x00002000u);
  Flow odd = builtFlow(0, 0x1FF, 0);
  EXPECT_EQ(odd.maxBlock, 1u);
}

TEST(Flow, TheHighestBlockFitsBehindTheCapacity) {
  // Block maxBlock starts at size when size is a multiple of 256; the spare bytes hold it.
  Flow flow = builtFlow(0, 0x200, 0x200);
  storeBlock(flow, flow.maxBlock, 0x11);
  EXPECT_EQ(flow.extent, 0x300u);
  flow.reset();
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
  EXPECT_TRUE(countersZero(flow));
}

TEST(Flow, ResetEmptiesTheCycleAndKeepsTheSide) {
  Flow flow = builtFlow(0x1000, 0x4000, 0x4000);
  storeBlock(flow, 0, 0x11);
  storeBlock(flow, 5, 0x22);
  storeBlock(flow, 5, 0x33);
  flow.side = 1;
  flow.started = 1;
  flow.firstBlockPos = 100;
  flow.lastBlockPos = 200;
  flow.reset();
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
  EXPECT_TRUE(countersZero(flow));
  EXPECT_EQ(flow.storedBlocks, 0u);
  EXPECT_EQ(flow.extent, 0u);
  EXPECT_EQ(flow.arrivedBlocks, 0u);
  EXPECT_EQ(flow.firstBlockPos, 0u);
  EXPECT_EQ(flow.lastBlockPos, 0u);
  EXPECT_EQ(flow.started, 0);
  EXPECT_EQ(flow.idle, 1);
  EXPECT_EQ(flow.dirty, 0u);
  EXPECT_EQ(flow.side, 1u);
  EXPECT_EQ(flow.maxExtent, 0x600u);
}

TEST(Flow, ResetRefillsOnlyWhatTheCycleTouched) {
  Flow flow = builtFlow(0, 0x4000, 0);
  flow.fillTo(flow.capacity);  // a flow whose whole capacity a reader has seen
  // A byte outside everything written since the last reset is left alone: proof that the
  // reset does not sweep the whole half.
  flow.data[0x3000] = 0;
  storeBlock(flow, 2, 0x11);
  flow.reset();
  EXPECT_TRUE(allFill(flow, 0, 0x3000));
  EXPECT_EQ(flow.data[0x3000], 0);
  // An observer that wrote further than the extent reports it through dirty.
  flow.data[0x3000] = flowFillByte;
  storeBlock(flow, 0, 0x11);
  std::memset(flow.data + 0x1000, 0x44, 0x100);
  flow.dirty = 0x1100;
  flow.reset();
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
}

TEST(Flow, StorageComesWithTheFirstUse) {
  Flow flow;
  flow.size = 0x10000000;  // 256 MiB a layout may name and a recording never use
  flow.build();
  EXPECT_EQ(flow.data, nullptr);
  EXPECT_TRUE(flow.blockCounts.empty());
  EXPECT_EQ(flow.capacity, 0x10000000u);
  flow.reset();  // an unused flow is reset like any other
  EXPECT_EQ(flow.idle, 1);
  Flow used = builtFlow(0, 0x1000, 0);
  EXPECT_EQ(used.data, used.storage->get() + flowHeadroom);
  EXPECT_EQ(used.blockCounts.size(), 17u);
  EXPECT_TRUE(allFill(used, 0, used.capacity));
  uint8_t* before = used.data;
  used.allocate();  // a second call keeps what the flow holds
  EXPECT_EQ(used.data, before);
}

TEST(Flow, CountsAndResetsOnlyTheBlocksItStored) {
  Flow flow = builtFlow(0, 0x200000, 0);
  storeBlock(flow, 8000, 0x11);  // one block far into a big flow
  storeBlock(flow, 3, 0x22);
  storeBlock(flow, 3, 0x33);
  EXPECT_EQ(flow.extent, 8001u * flowBlockSize);
  EXPECT_EQ(flow.distinctBlocks(), 2u);
  EXPECT_EQ(flow.touched.size(), 2u);
  // A byte between the stored blocks that nothing wrote is not swept by the reset.
  flow.data[0x10000] = 0;
  flow.reset();
  EXPECT_EQ(flow.data[0x10000], 0);
  flow.data[0x10000] = flowFillByte;
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
  EXPECT_TRUE(countersZero(flow));
  EXPECT_TRUE(flow.touched.empty());
  EXPECT_EQ(flow.distinctBlocks(), 0u);
}

TEST(Flow, ResetOfAnUnbuiltFlowIsHarmless) {
  Flow flow;
  flow.extent = 0x1000;
  flow.reset();
  EXPECT_EQ(flow.extent, 0u);
  EXPECT_EQ(flow.idle, 1);
}

TEST(Flow, FillsOnlyAsFarAsStoresAndReadersReach) {
  Flow flow = builtFlow(0, 0x200000, 0);  // 2 MiB a half
  EXPECT_EQ(flow.filled, 0u);             // allocating touched none of it
  storeBlock(flow, 3, 0x11);
  EXPECT_EQ(flow.filled, 4u * flowBlockSize);
  EXPECT_TRUE(allFill(flow, 0, 3 * flowBlockSize));
  EXPECT_EQ(flow.data[3 * flowBlockSize], 0x11);
  // A reader beyond the extent sees fill, and the blocks below keep their data.
  flow.fillTo(0x1000);
  EXPECT_EQ(flow.filled, 0x1000u);
  EXPECT_TRUE(allFill(flow, 4 * flowBlockSize, 0x1000));
  EXPECT_EQ(flow.data[4 * flowBlockSize - 1], 0x11);
  // Reused after a reset: every byte a reader can reach is fill again.
  storeBlock(flow, 40, 0x22);
  flow.dirty = 0x800;
  flow.reset();
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
  EXPECT_EQ(flow.data[flow.capacity], 0);  // the spare bytes past the capacity read 0
  EXPECT_EQ(flow.data[-1], 0);             // so does the headroom
}

// Stores near and far into a big flow, readers reaching part of it, resets: whatever the order,
// a reader sees every stored block's bytes and 0xCA everywhere else, as if the whole capacity
// had been filled before the first block.
TEST(Flow, FarBlocksLeaveTheirGapForTheReaderAndReadTheSame) {
  Flow flow = builtFlow(0, 0x200000, 0);
  std::vector<uint8_t> expected(flow.capacity, flowFillByte);
  auto matches = [&](std::size_t end) {
    const uint8_t* data = flow.fillTo(end);
    return std::equal(data, data + end, expected.begin());
  };
  const uint32_t clusters[] = {0, 20, 300, 301, 4000, 8100, flow.maxBlock - 1};
  uint32_t seed = 1;
  auto next = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int step = 0; step < 3000; ++step) {
    uint32_t what = next(20);
    if (what == 0) {
      // A reset keeps what readers have filled; a fresh flow starts with nothing filled.
      if (next(2)) flow.reset();
      else flow = builtFlow(0, 0x200000, 0);
      std::fill(expected.begin(), expected.end(), flowFillByte);
    } else if (what < 3) {
      // Most readers look at the first words (headers); some reach far.
      std::size_t end = next(4) ? next(0x2000) : next(flow.capacity + 1);
      ASSERT_TRUE(matches(end)) << "step " << step << ": reader up to " << end;
    } else if (what == 3) {
      // What an observer is handed: the cycle up to its extent.
      flow.consumer();
      ASSERT_TRUE(std::equal(flow.data, flow.data + std::min(flow.extent, flow.capacity), expected.begin()))
          << "step " << step;
    } else {
      uint32_t index = std::min(flow.maxBlock - 1, clusters[next(std::size(clusters))] + next(4));
      uint8_t fill = uint8_t(step);
      storeBlock(flow, index, fill);
      std::fill_n(expected.begin() + std::size_t{index} * flowBlockSize, flowBlockSize, fill);
    }
  }
  ASSERT_TRUE(matches(flow.capacity));
}

// Cycles stored in order from block 0, as a clean recording has them: the reset leaves their
// bytes for the next cycle to overwrite, and whatever the next cycle's length, gaps and readers,
// it reads its own blocks and 0xCA everywhere else.
TEST(Flow, CyclesInOrderAreNotSweptAndReadTheSame) {
  Flow flow = builtFlow(0, 0x8000, 0);
  storeBlock(flow, 0, 0x11);
  storeBlock(flow, 1, 0x11);
  flow.reset();
  EXPECT_EQ(flow.data[0], 0x11);  // nothing swept: the next cycle writes over it
  EXPECT_EQ(flow.data[flowBlockSize], 0x11);

  struct Cycle {
    uint32_t blocks;
    uint32_t skipped;    // a block that does not arrive (>= blocks: none)
    uint32_t readUpTo;   // a reader beyond the cycle (0: none)
    uint32_t observerWrote;
  };
  const Cycle cycles[] = {
      {40, 99, 0, 0},  {10, 99, 0, 0},     {40, 7, 0, 0},   {3, 99, 0x2000, 0},
      {12, 99, 0, 0},  {20, 99, 0, 0x800}, {1, 99, 0, 0},   {64, 99, 0x8000, 0},
      {2, 0, 0, 0},    {64, 63, 0, 0},     {5, 99, 0, 0},
  };
  int n = 0;
  for (const Cycle& c : cycles) {
    SCOPED_TRACE(n++);
    std::vector<uint8_t> expected(flow.capacity, flowFillByte);
    for (uint32_t i = 0; i < c.blocks; ++i) {
      if (i == c.skipped) continue;
      storeBlock(flow, i, uint8_t(0x20 + n));
      std::fill_n(expected.begin() + std::size_t{i} * flowBlockSize, flowBlockSize, uint8_t(0x20 + n));
    }
    flow.consumer();
    ASSERT_TRUE(std::equal(flow.data, flow.data + flow.extent, expected.begin()));
    if (c.readUpTo) {
      const uint8_t* data = flow.fillTo(c.readUpTo);
      ASSERT_TRUE(std::equal(data, data + c.readUpTo, expected.begin()));
    }
    if (c.observerWrote) {
      std::memset(flow.data, 0x44, c.observerWrote);
      flow.dirty = c.observerWrote;
    }
    flow.reset();
  }
  EXPECT_TRUE(allFill(flow, 0, flow.capacity));
}

// A cycle lent to the writer stays as it was while the flow goes on in another storage; the
// storages come back as the writer gives them back, and their number stays bounded: with every
// one held, nothing more is lent and the flow goes on as without loans.
TEST(Flow, ALentCycleStaysAsItWasAndTheStoragesStayFew) {
  Flow flow = builtFlow(0, 0x8000, 0);
  std::vector<std::shared_ptr<platform::LendableBytes>> held;
  for (uint8_t cycle = 1; cycle < 20; ++cycle) {
    SCOPED_TRACE(int(cycle));
    for (uint32_t i = 0; i < 4; ++i) storeBlock(flow, i, cycle);
    if (cycle == 7) storeBlock(flow, 9, cycle);  // one cycle with a gap
    flow.consumer();
    std::vector<uint8_t> before(flow.data, flow.data + flow.extent);
    std::shared_ptr<platform::LendableBytes> lent = flow.lendStorage();
    if (lent) {
      lent->lend();  // what the writer does on taking it
      held.push_back(lent);
    }
    ASSERT_LE(held.size(), Flow::maxSpareStorage + 1);
    flow.reset();
    storeBlock(flow, 0, 0xEE);
    storeBlock(flow, 2, 0xEE);
    if (lent) {
      const uint8_t* kept = lent->get() + flowHeadroom;
      EXPECT_TRUE(std::equal(before.begin(), before.end(), kept)) << "the lent cycle changed";
    }
    const uint8_t* data = flow.fillTo(0x1000);
    EXPECT_TRUE(std::all_of(data, data + flowBlockSize, [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(allFill(flow, flowBlockSize, 2 * flowBlockSize));
    EXPECT_TRUE(allFill(flow, 3 * flowBlockSize, 0x1000));
    flow.reset();
    if (cycle == 12) {
      for (const auto& storage : held) storage->giveBack();  // the writer caught up
      held.clear();
    }
  }
  EXPECT_GT(held.size(), 0u);
  EXPECT_EQ(flow.spareStorage.size(), Flow::maxSpareStorage);

  // A flow whose cycles are large gets one spare only.
  Flow big = builtFlow(0, 0x1000000, 0);
  for (int cycle = 0; cycle < 3; ++cycle) {
    storeBlock(big, 0xFFFF, 1);
    big.consumer();
    if (auto lent = big.lendStorage()) lent->lend();
    big.reset();
  }
  EXPECT_EQ(big.spareStorage.size(), 1u);
}

TEST(Flow, AFarBlockCostsItsBlockUntilAReaderComes) {
  Flow flow = builtFlow(0, 0x200000, 0);
  storeBlock(flow, 0, 0x11);
  storeBlock(flow, 8000, 0x22);
  EXPECT_EQ(flow.filled, flowBlockSize);  // nothing between the two blocks was written
  flow.consumer();                        // an observer reads the cycle
  EXPECT_EQ(flow.filled, 8001u * flowBlockSize);
  EXPECT_TRUE(allFill(flow, flowBlockSize, 8000 * flowBlockSize));
  EXPECT_EQ(flow.data[8000 * flowBlockSize], 0x22);
}

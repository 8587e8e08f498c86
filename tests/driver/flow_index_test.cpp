// The flow index answers like the first-match walk of the table, built at once or grown clone
// by clone.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "flow_index.h"

namespace {

bool claims(const Flow& flow, uint32_t address) {
  return (address >= flow.startA && address < flow.endA) ||
         (address >= flow.startB && address < flow.endB);
}

// The walk the index stands for (no flow here has source id 0, so nothing binds).
FlowMatch walk(const FlowTable& table, uint32_t address, uint32_t sourceId) {
  FlowMatch match;
  for (const auto& flow : table) {
    if (!claims(*flow, address)) continue;
    if (flow->sourceId == sourceId) {
      match.flow = flow.get();
      return match;
    }
    match.templateFlow = flow.get();
  }
  return match;
}

std::unique_ptr<Flow> makeFlow(uint32_t base, uint32_t size, uint32_t pingpong, uint32_t sourceId) {
  auto flow = std::make_unique<Flow>();
  flow->base = base;
  flow->size = size;
  flow->pingpong = pingpong;
  flow->sourceId = sourceId;
  flow->build();
  return flow;
}

// Every bound of the table, one below it, and the ends of the address space.
std::set<uint32_t> probes(const FlowTable& table) {
  std::set<uint32_t> at{0, 1, 0xFFFFFFFF};
  for (const auto& flow : table)
    for (uint32_t b : {flow->startA, flow->endA, flow->startB, flow->endB}) {
      at.insert(b);
      at.insert(b - 1);
    }
  return at;
}

void expectSameAnswers(FlowIndex& index, const FlowTable& table, const char* when) {
  for (uint32_t address : probes(table))
    for (uint32_t sourceId : {1u, 2u, 3u}) {
      FlowMatch expected = walk(table, address, sourceId);
      FlowMatch found = index.find(address, sourceId);
      ASSERT_EQ(found.flow, expected.flow) << when << std::hex << " address 0x" << address;
      if (!expected.flow) {  // the template counts only when no flow answers
        ASSERT_EQ(found.templateFlow, expected.templateFlow) << when << std::hex << " address 0x" << address;
      }
    }
}

}  // namespace

// Tables with overlapping halves, shared bounds, halves that wrap past 2^32, empty flows and
// clones of earlier flows for other sources, in the order a scan appends them.
TEST(FlowIndex, GrowingByClonesAnswersLikeTheWalkOfTheTable) {
  const uint32_t bases[] = {0, 0x1000, 0x1800, 0x80000000, 0xFFFFF000, 0xFFFFFF00};
  const uint32_t sizes[] = {0, 0x100, 0x1000, 0x2000, 0x200000};
  const uint32_t pingpongs[] = {0, 0x800, 0x1000, 0x1000000};
  std::mt19937 random(7);
  auto pick = [&](const auto& values) { return values[random() % std::size(values)]; };
  for (int round = 0; round < 40; ++round) {
    FlowTable table;
    int layoutFlows = 1 + int(random() % 8);
    for (int i = 0; i < layoutFlows; ++i) table.push_back(makeFlow(pick(bases), pick(sizes), pick(pingpongs), 1));
    FlowIndex index;
    index.rebuild(table);
    expectSameAnswers(index, table, "layout");
    for (int clone = 0; clone < 12; ++clone) {
      const Flow& of = *table[random() % table.size()];
      // Mostly clones; now and then a flow of its own, as the index allows.
      bool own = random() % 4 == 0;
      table.push_back(own ? makeFlow(pick(bases), pick(sizes), pick(pingpongs), 2 + random() % 2)
                          : makeFlow(of.base, of.size, of.pingpong, 2 + random() % 2));
      index.add(*table.back());
      expectSameAnswers(index, table, "grown");
      FlowIndex rebuilt;
      rebuilt.rebuild(table);
      expectSameAnswers(rebuilt, table, "rebuilt");
    }
  }
}

TEST(FlowIndex, AFlowWithSourceIdZeroBindsToTheFirstSourceAsked) {
  FlowTable table;
  table.push_back(makeFlow(0x1000, 0x1000, 0x10000, 0));
  FlowIndex index;
  index.rebuild(table);
  EXPECT_EQ(index.find(0x1100, 5).flow, table[0].get());
  EXPECT_EQ(table[0]->sourceId, 5u);
  FlowMatch other = index.find(0x11100, 6);
  EXPECT_EQ(other.flow, nullptr);
  EXPECT_EQ(other.templateFlow, table[0].get());
  table.push_back(makeFlow(0x1000, 0x1000, 0x10000, 6));
  index.add(*table.back());
  EXPECT_EQ(index.find(0x11100, 6).flow, table[1].get());
  EXPECT_EQ(index.find(0x2000, 6).flow, nullptr);
}

// Helpers for the tests of tarsel-synth: run it into a temporary folder and read back
// the recording block by block and cycle by cycle.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/recording.h"
#include "synth_internal.h"

/// A small scenario that is quick to write: 8 x 64 matrices, a few batches.
inline synth::Scenario smallScenario(const TempDir& dir, uint32_t batches = 6) {
  synth::Scenario s;
  s.outputDir = dir.path().string();
  s.batches = batches;
  s.rows = 8;
  s.cols = 64;
  s.videoEvery = 2;
  s.quiet = true;
  return s;
}

/// Writes the recording; fails the test on an error.
inline synth::Manifest synthesise(const synth::Scenario& s) {
  synth::Manifest m;
  std::string error = synth::writeRecording(s, m);
  EXPECT_EQ(error, "");
  return m;
}

inline Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

/// The files of the sequence, one after the other.
inline Bytes wholeStream(const synth::Manifest& m) {
  Bytes all;
  for (const auto& f : m.files) append(all, readBytes(f.path));
  return all;
}

inline uint32_t u32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint16_t u16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline float f32(const uint8_t* p) { float v; std::memcpy(&v, p, 4); return v; }

inline bool hasMarker(const uint8_t* header) { return std::memcmp(header + 10, synth::blockMarker, 6) == 0; }

/// One reassembled cycle: the blocks of one flow and source from a half start on.
struct Cycle {
  std::string flow;
  uint8_t source = 0;
  uint32_t start = 0;   // address of block 0
  uint64_t offset = 0;  // stream offset of block 0
  Bytes data;
  bool inOrder = true;  // every block followed the one before it
};

/// Reads a fault-free stream of 272-byte blocks from `from` on into cycles, in the order they start.
inline std::vector<Cycle> readCycles(const Bytes& stream, size_t from = 0) {
  std::vector<Cycle> cycles;
  std::map<std::pair<int, uint8_t>, size_t> pending;  // (flow, source) -> index into cycles
  const auto& flows = synth::builtInFlows();
  for (size_t pos = from; pos + synth::recorderBlockSize <= stream.size(); pos += synth::recorderBlockSize) {
    const uint8_t* block = stream.data() + pos;
    EXPECT_TRUE(hasMarker(block)) << "no block marker at " << pos;
    uint32_t address = u32(block);
    int f = synth::claimingFlow(address);
    EXPECT_GE(f, 0) << "address 0x" << std::hex << address << " belongs to no flow";
    if (f < 0) continue;
    const synth::FlowDef& def = flows[f];
    bool halfA = address - def.base < def.size;
    uint32_t halfStart = halfA ? def.base : def.base + def.pingpong;
    auto key = std::make_pair(f, block[9]);
    auto it = pending.find(key);
    if (address == halfStart || it == pending.end()) {
      cycles.push_back(Cycle{def.name, block[9], address, pos, {}, address == halfStart});
      it = pending.insert_or_assign(key, cycles.size() - 1).first;
    }
    Cycle& c = cycles[it->second];
    c.inOrder = c.inOrder && address == c.start + c.data.size();
    c.data.insert(c.data.end(), block + synth::blockHeaderSize, block + synth::recorderBlockSize);
  }
  return cycles;
}

/// The cycles of one flow, in order.
inline std::vector<const Cycle*> cyclesOf(const std::vector<Cycle>& cycles, const std::string& flow,
                                          uint8_t source = 0) {
  std::vector<const Cycle*> out;
  for (const auto& c : cycles)
    if (c.flow == flow && (source == 0 || c.source == source)) out.push_back(&c);
  return out;
}

/// The name of the first S-Block of a software cycle.
inline std::string firstSBlock(const Cycle& c) {
  return std::string(reinterpret_cast<const char*>(c.data.data() + synth::sblockNameOffset),
                     strnlen(reinterpret_cast<const char*>(c.data.data() + synth::sblockNameOffset), 16));
}

inline const synth::FlowCount* countOf(const synth::Manifest& m, const std::string& flow, uint8_t source) {
  for (const auto& c : m.flows)
    if (c.name == flow && c.sourceId == source) return &c;
  return nullptr;
}

inline const synth::FaultRecord& faultOf(const synth::Manifest& m, const std::string& kind) {
  for (const auto& f : m.faults)
    if (f.kind == kind) return f;
  ADD_FAILURE() << "no fault " << kind;
  static synth::FaultRecord none;
  return none;
}

/// Adds one --fault option to a scenario.
inline void addFault(synth::Scenario& s, const std::string& option) {
  EXPECT_EQ(synth::applyOption(s, "fault", option), "");
}

// The built-in layout's flows as the synthesiser writes them.
#include <algorithm>

#include "synth_internal.h"

namespace synth {

namespace {
constexpr uint32_t mib2 = 0x200000;
constexpr uint32_t hdrPingpong = 0x1000000;
}  // namespace

const std::vector<FlowDef>& builtInFlows() {
  static const std::vector<FlowDef> flows = {
      {"SWHDR", 0xA0000000, 0x1000, hdrPingpong, Content::Header, sourceDsp, -1, 0, false},
      {"SWSUM", 0xA0010000, mib2, hdrPingpong, Content::Signal, sourceDsp, 0, 0, true},
      {"SWGUARD", 0xA0110000, mib2, hdrPingpong, Content::Signal, sourceDsp, 3, 0, true},
      {"F-HDR", 0x80000000, 0x1000, hdrPingpong, Content::Header, sourceDsp, -1, 0, false},
      {"F-GUARD", 0x80801000, mib2, hdrPingpong, Content::Signal, sourceDsp, 3, 0, true},
      {"F-SUM", 0x80101000, mib2, hdrPingpong, Content::Signal, sourceDsp, 0, 0, true},
      {"F-DC1DAZ", 0x80001000, mib2, hdrPingpong, Content::Signal, sourceDsp, 4, 0, true},
      {"F-DC1DEL", 0x80201000, mib2, hdrPingpong, Content::Signal, sourceDsp, 5, 0, true},
      {"F-DAZ", 0x80401000, mib2, hdrPingpong, Content::Signal, sourceDsp, 1, 0, true},
      {"F-DEL", 0x80701000, mib2, hdrPingpong, Content::Signal, sourceDsp, 2, 0, true},
      {"SOFT", 0xF0000000, 0x400000, 0, Content::Soft, sourceSoft, -1, 0, false},
      {"SOFTDFE", 0xE0000000, 0x400000, 0, Content::SoftDfe, sourceDfe, -1, 0, false},
      {"VIDEO", 0xEF000000, mib2, 0, Content::Video, sourceDsp, -1, 0, true},
      {"CTRLINK", 0x00000000, 0x4000, 0x10000, Content::Link, sourceDsp, -1, 2048, false},
      {"EXTLINK", 0x10000000, 0x4000, 0x10000, Content::ExtLink, sourceDsp, -1, extLinkBytes, false},
      {"AESA", 0xD0040000, 0x2000, 0x8000, Content::Link, sourceDsp, -1, 4096, false},
      {"DET", 0x55000000, 0x4000, 0x4000, Content::Link, sourceDsp, -1, 8192, false},
      {"EXP", 0x58200000, 0x400, 0x400, Content::Link, sourceDsp, -1, 1024, false},
      {"PC", 0x57000000, 0x2000, 0x20000, Content::Link, sourceDsp, -1, 4096, false},
      {"DISP", 0x56000000, 0x200, 0x200, Content::Link, sourceDsp, -1, 512, false},
      {"DISPHEADER", 0x56004000, 0x1000, 0x1000, Content::Header, sourceDsp, -1, 0, false},
      {"TIMER", 0x44A10000, 0x2000, 0x2000, Content::Timer, sourceDsp, -1, timerBytes, false},
      {"UNKNOW1", 0x70000000, 0x2000, 0x1000, Content::Link, sourceDsp, -1, 4096, false},
  };
  return flows;
}

int flowIndex(const std::string& name) {
  const auto& flows = builtInFlows();
  for (size_t i = 0; i < flows.size(); ++i)
    if (name == flows[i].name) return static_cast<int>(i);
  return -1;
}

namespace {
bool inHalf(uint32_t address, uint32_t start, uint32_t size) {
  return address >= start && address - start < size;
}
}  // namespace

int claimingFlow(uint32_t address) {
  const auto& flows = builtInFlows();
  for (size_t i = 0; i < flows.size(); ++i) {
    const FlowDef& f = flows[i];
    if (inHalf(address, f.base, f.size) || inHalf(address, f.base + f.pingpong, f.size))
      return static_cast<int>(i);
  }
  return -1;
}

uint32_t ownedBytes(size_t index, uint32_t halfStart) {
  const auto& flows = builtInFlows();
  const FlowDef& self = flows[index];
  uint64_t owned = self.size;
  // Half A wins where a flow's own halves overlap, so half B is cut by half A too.
  auto cutBy = [&](uint32_t start, uint32_t size) {
    if (inHalf(halfStart, start, size)) owned = 0;
    else if (start > halfStart && start - halfStart < owned) owned = start - halfStart;
  };
  for (size_t i = 0; i < index; ++i) {
    cutBy(flows[i].base, flows[i].size);
    cutBy(flows[i].base + flows[i].pingpong, flows[i].size);
  }
  if (halfStart != self.base) cutBy(self.base, self.size);
  return static_cast<uint32_t>(owned);
}

const char* streamName(int stream) {
  static const char* names[] = {"SUM", "DAZ", "DEL", "GUARD", "DC1DAZ", "DC1DEL"};
  return stream >= 0 && stream < 6 ? names[stream] : "?";
}

}  // namespace synth

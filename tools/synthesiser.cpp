// The batch loop of tarsel-synth: per batch it prepares every flow's cycles and writes
// them as a recorder would, interleaving the flows block by block within three groups:
// the headers, the firmware and DFE flows, and the software stream.
#include <chrono>
#include <filesystem>
#include <cmath>
#include <memory>
#include <numbers>

#include "synth_internal.h"

namespace synth {

namespace {

constexpr uint16_t noFlow = 0xFFFF;
constexpr double earthRadius = 6371000.0;
constexpr int softSignalStreams = 4;  // SUM, DAZ, DEL, GUARD

/// One cycle of one flow: `length` bytes from `data`, written to `address` on.
struct CycleJob {
  uint16_t flow = noFlow;
  uint8_t source = 0;
  uint32_t address = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  int32_t missing = -1;     // block left out
  int32_t duplicate = -1;   // block written twice
  int32_t truncated = -1;   // block cut short by cutBytes
  uint32_t cutBytes = 0;
  int32_t markBlock = -1;   // block whose stream position a fault record wants
  uint32_t markByte = 0;    // byte within that recorder block
  size_t fault = 0;         // index into the manifest's faults
  int32_t mapped = -1;      // its entry in the cycle map
  uint32_t blocks() const { return (length + blockDataSize - 1) / blockDataSize; }
};

/// The cycles one flow writes in one batch, in order.
struct Lane {
  std::vector<CycleJob> jobs;
  size_t next = 0;
  uint32_t block = 0;
  void clear() { jobs.clear(); next = 0; block = 0; }
  bool done() const { return next >= jobs.size(); }
};

const char* faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::StrayBytes: return "stray-bytes";
    case FaultKind::TruncatedBlock: return "truncated-block";
    case FaultKind::MissingBlock: return "missing-block";
    case FaultKind::DuplicatedBlock: return "duplicated-block";
    case FaultKind::UnknownAddress: return "unknown-address";
    case FaultKind::SecondSource: return "second-source";
    case FaultKind::NoHdr0: return "no-hdr0";
    case FaultKind::BatchHole: return "batch-hole";
    case FaultKind::SBlockEnd: return "sblock-end";
    case FaultKind::BitFlips: return "bit-flips";
    case FaultKind::CutEnd: return "cut-end";
  }
  return "?";
}

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

class Synthesiser {
 public:
  Synthesiser(const Scenario& scenario, Manifest& manifest)
      : sc_(scenario), m_(manifest), writer_(scenario, manifest), flows_(builtInFlows()),
        mapper_(scenario.cycleMapPath.empty() ? nullptr : &manifest.cycles) {}

  std::string run() {
    auto started = std::chrono::steady_clock::now();
    std::string error = prepare();
    if (error.empty()) error = writer_.open();
    if (error.empty()) error = writeAll();
    std::string finished = writer_.finish(cutEndBytes_);
    if (error.empty()) error = finished;
    if (error.empty()) error = checkFaultsPlaced();
    finishFaultRecords();
    m_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return error;
  }

 private:
  // ---- set-up -------------------------------------------------------------------------

  std::string prepare() {
    if (sc_.rows == 0 || sc_.cols == 0) return "rows and columns must be at least 1";
    if (static_cast<uint64_t>(sc_.rows) * sc_.cols * 4 > 0x200000)
      return "rows * columns * 4 must not exceed the 2 MiB signal flow";
    if (sc_.beams == 0 || sc_.beams > 120) return "beams must be 1 to 120";
    if (sc_.batchMicros == 0) return "the batch period must not be 0";
    if (sc_.modes.empty()) return "at least one mode is needed";
    matrixBytes_ = sc_.rows * sc_.cols * 4;
    std::string error = chooseFlows();
    if (!error.empty()) return error;
    error = placeFaults();
    if (!error.empty()) return error;
    allocate();
    arrangeGroups();
    return "";
  }

  bool selected(const std::string& name) const {
    auto in = [&](const std::vector<std::string>& list) {
      for (const auto& n : list)
        if (n == name) return true;
      return false;
    };
    if (!sc_.onlyFlows.empty() && !in(sc_.onlyFlows)) return false;
    return !in(sc_.skipFlows);
  }

  std::string chooseFlows() {
    for (const auto& n : sc_.onlyFlows)
      if (flowIndex(n) < 0) return "unknown flow " + n;
    for (const auto& n : sc_.skipFlows)
      if (flowIndex(n) < 0) return "unknown flow " + n;
    for (const auto& [n, id] : sc_.sources)
      if (flowIndex(n) < 0) return "unknown flow " + n;
    enabled_.assign(flows_.size(), false);
    useHalfB_.assign(flows_.size(), false);
    cycleBytes_.assign(flows_.size(), 0);
    source_.assign(flows_.size(), 0);
    for (size_t i = 0; i < flows_.size(); ++i) {
      const FlowDef& f = flows_[i];
      auto src = sc_.sources.find(f.name);
      source_[i] = src != sc_.sources.end() ? src->second : f.source;
      uint32_t owned = ownedBytes(i, f.base);
      if (owned < blockDataSize) {
        int owner = claimingFlow(f.base);
        m_.skippedFlows[f.name] = std::string("its base address belongs to ") + flows_[owner].name;
        continue;
      }
      if (!selected(f.name)) continue;
      if (sc_.noBulky && f.bulky) continue;
      uint32_t wanted = wantedBytes(f);
      uint32_t bytes = std::min(wanted, owned / blockDataSize * blockDataSize);
      if (bytes < wanted && f.content == Content::Signal)
        m_.skippedFlows[std::string(f.name) + " (part)"] =
            "only " + hex(bytes) + " bytes from its base belong to it; the rest of the matrix is not written";
      cycleBytes_[i] = bytes;
      useHalfB_[i] = f.pingpong != 0 && ownedBytes(i, f.base + f.pingpong) >= bytes;
      enabled_[i] = true;
    }
    for (const auto& name : sc_.softSignals) {
      int stream = -1;
      for (int k = 0; k < softSignalStreams; ++k)
        if (name == streamName(k)) stream = k;
      if (stream < 0) return "unknown software signal block " + name + " (SUM, DAZ, DEL, GUARD)";
      if (!sc_.noBulky) softStreams_.push_back(stream);
    }
    return "";
  }

  uint32_t wantedBytes(const FlowDef& f) const {
    switch (f.content) {
      case Content::Header: return 4096;
      case Content::Signal: return matrixBytes_;
      case Content::Video: return videoFrameBytes;
      case Content::Soft:
      case Content::SoftDfe: return f.size;
      default: return f.linkBytes;
    }
  }

  std::string placeFaults() {
    for (const FaultOption& option : sc_.faults) {
      FaultRecord record;
      record.kind = faultKindName(option.kind);
      record.option = option.text;
      record.iteration = option.at;
      record.flow = option.flow;
      switch (option.kind) {
        case FaultKind::StrayBytes:
          record.bytes = option.bytes ? option.bytes : 48;
          record.iteration = 0;
          record.description = std::to_string(record.bytes) + " stray bytes in front of the first block";
          if (record.bytes % 16)
            record.description += "; not a multiple of 16, so a scan in steps of 16 bytes never meets the first block";
          break;
        case FaultKind::TruncatedBlock:
        case FaultKind::MissingBlock:
        case FaultKind::DuplicatedBlock:
        case FaultKind::SecondSource: {
          if (record.flow.empty()) record.flow = option.kind == FaultKind::SecondSource ? "F-HDR" : "F-SUM";
          int f = flowIndex(record.flow);
          if (f < 0 || !enabled_[f]) return "fault " + option.text + ": flow " + record.flow + " is not written";
          record.block = option.kind == FaultKind::SecondSource ? 0 : option.block;
          if (option.kind == FaultKind::TruncatedBlock) record.bytes = option.bytes ? option.bytes : 32;
          if (option.kind == FaultKind::SecondSource) {
            record.sourceId = static_cast<uint8_t>(option.sourceId);
            if (record.sourceId == source_[f]) return "fault " + option.text + ": the flow already has that source";
          }
          if (record.bytes >= recorderBlockSize) return "fault " + option.text + ": cut must be below 272";
          break;
        }
        case FaultKind::UnknownAddress:
          if (claimingFlow(option.address) >= 0)
            return "fault " + option.text + ": address " + hex(option.address) + " belongs to " +
                   flows_[claimingFlow(option.address)].name;
          record.address = option.address;
          record.count = option.count;
          record.sourceId = sourceDsp;
          record.description = std::to_string(option.count) + " blocks at " + hex(option.address) + ", which no flow claims";
          break;
        case FaultKind::NoHdr0:
          record.flow.clear();  // filled with the header flows that carry it
          record.description = "firmware header without \"HDR0\" (word 4 reads \"XDR0\")";
          break;
        case FaultKind::BatchHole:
          record.count = option.count;
          break;
        case FaultKind::SBlockEnd:
          record.flow = option.sblock.empty() ? "D1553" : option.sblock;
          break;
        case FaultKind::BitFlips: {
          record.iteration = 0;
          char rate[32];
          std::snprintf(rate, sizeof rate, "%g", option.rate);
          record.description = std::string("bits flipped at random, rate ") + rate + " per bit";
          break;
        }
        case FaultKind::CutEnd:
          record.bytes = option.bytes ? option.bytes : 100;
          if (record.bytes >= recorderBlockSize) return "fault " + option.text + ": cut must be below 272";
          cutEndBytes_ = record.bytes;
          cutEndFault_ = m_.faults.size();
          break;
      }
      m_.faults.push_back(record);
      optionOf_.push_back(&option);
      placed_.push_back(option.kind == FaultKind::StrayBytes || option.kind == FaultKind::BitFlips ||
                        option.kind == FaultKind::CutEnd);
    }
    return "";
  }

  void allocate() {
    table_ = std::make_unique<SampleTable>(sc_.seed, sc_.rows, sc_.cols);
    header_.assign(4096, 0);
    badHeader_.assign(4096, 0);
    softHeader_.assign(4096, 0);
    softNav_.assign(4096, 0);
    for (auto& b : softSignal_) b.assign(matrixBytes_ + 512, 0);
    aesaTx_.assign(12288, 0);
    aesaRx_.assign(8192, 0);
    timer_.assign(timerBytes, 0);
    extLink_.assign(extLinkBytes, 0);
    video_.assign(videoFrameBytes + blockDataSize, 0);
    unknown_.assign(blockDataSize, 0xEE);
    links_.resize(flows_.size());
    for (size_t i = 0; i < flows_.size(); ++i)
      if (enabled_[i] && flows_[i].content == Content::Link) links_[i].assign(flows_[i].linkBytes, 0);
    lanes_.resize(flows_.size());
    cyclesOf_.assign(flows_.size(), 0);
  }

  // Lane order decides which cycles complete first: the synthesizer link and the DFE
  // stream come before the timer, so that a timer block meets the captures of its batch.
  void arrangeGroups() {
    static const char* groupB[] = {"F-GUARD", "F-SUM", "F-DC1DAZ", "F-DC1DEL", "F-DAZ", "F-DEL", "SWSUM",
                                   "SWGUARD", "VIDEO", "CTRLINK", "EXTLINK", "AESA", "DET", "EXP",
                                   "PC", "DISP", "UNKNOW1", "SOFTDFE", "TIMER"};
    for (const char* n : {"SWHDR", "F-HDR", "DISPHEADER"}) groups_[0].push_back(&lanes_[flowIndex(n)]);
    for (const char* n : groupB) groups_[1].push_back(&lanes_[flowIndex(n)]);
    groups_[2].push_back(&lanes_[flowIndex("SOFT")]);
    for (auto& g : groups_) {
      extraLanes_.emplace_back();
      g.push_back(nullptr);  // the fault lane of the group, bound below
    }
    for (size_t k = 0; k < 3; ++k) groups_[k].back() = &extraLanes_[k];
  }

  // ---- the batch loop ---------------------------------------------------------------

  std::string writeAll() {
    writeStrayBytes();
    for (size_t k = 0; k < m_.faults.size(); ++k)
      if (optionOf_[k]->kind == FaultKind::BitFlips)
        writer_.setBitFlips(optionOf_[k]->rate, mix(sc_.seed, 0xB17F), &m_.faults[k]);
    initialState();
    if (sc_.targetBytes && !anyEnabled()) return "no flow selected: --size cannot be reached";
    for (uint32_t i = 0;; ++i) {
      if (sc_.targetBytes ? writer_.position() >= sc_.targetBytes : i >= sc_.batches) break;
      advance(i);
      if (sc_.splitBatches && i > 0 && i % sc_.splitBatches == 0) writer_.splitHere();
      prepareBatch(i);
      for (auto& group : groups_) writeGroup(group);
      if (!writer_.error().empty()) return writer_.error();
      previous_ = state_;
      m_.batchNumbers.push_back(state_.batch);
      m_.iterations = i + 1;
    }
    if (m_.iterations > 0) {
      m_.firstBatch = m_.batchNumbers.front();
      m_.lastBatch = m_.batchNumbers.back();
      m_.lastTag = state_.tag;
      m_.lastSecs = state_.secs;
    }
    return "";
  }

  bool anyEnabled() const {
    for (bool e : enabled_)
      if (e) return true;
    return false;
  }

  void writeStrayBytes() {
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      if (optionOf_[k]->kind != FaultKind::StrayBytes) continue;
      FaultRecord& r = m_.faults[k];
      r.offset = writer_.position();
      uint64_t x = mix(sc_.seed, 0x57A7);
      for (uint32_t b = 0; b < r.bytes; ++b) {
        x = mix(x, b);
        uint8_t v = static_cast<uint8_t>(x);
        if (v == blockMarker[0]) v ^= 0x80;  // never the start of a block marker
        writer_.put(&v, 1);
      }
    }
  }

  void initialState() {
    state_.rows = sc_.rows;
    state_.cols = sc_.cols;
    state_.latitude = sc_.latitude;
    state_.longitude = sc_.longitude;
    state_.altitude = sc_.altitude;
    state_.heading = sc_.heading;
    state_.speed = sc_.speed;
    state_.year = sc_.year;
    state_.month = sc_.month;
    state_.day = sc_.day;
    state_.scaleNm = sc_.scaleNm;
    state_.beams = sc_.beams;
    state_.seed = sc_.seed;
    state_.batch = sc_.firstBatch;
    state_.tag = sc_.firstTag;
    state_.antennaTag = sc_.firstTag;
    state_.secs = sc_.timeOfDay;
  }

  uint32_t gapBefore(uint32_t i) {
    uint32_t gap = 0;
    for (const auto& period : sc_.standby)
      if (period.at == i && i > 0) gap += period.batches;
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      if (optionOf_[k]->kind != FaultKind::BatchHole || optionOf_[k]->at != i || i == 0) continue;
      gap += optionOf_[k]->count;
      placed_[k] = true;
    }
    return gap;
  }

  bool standbyAfter(uint32_t i) const {
    for (const auto& period : sc_.standby)
      if (period.at == i + 1) return true;
    return false;
  }

  // Moves the aircraft and the clocks on to iteration i (skipped batches count too).
  void advance(uint32_t i) {
    uint32_t gap = gapBefore(i);
    uint32_t steps = i == 0 ? 0 : gap + 1;
    for (size_t k = 0; k < m_.faults.size(); ++k)
      if (optionOf_[k]->kind == FaultKind::BatchHole && optionOf_[k]->at == i && i > 0) {
        m_.faults[k].batch = state_.batch + steps;
        m_.faults[k].offset = writer_.position();
        m_.faults[k].description = "batch numbers " + std::to_string(state_.batch + 1) + " to " +
                                   std::to_string(state_.batch + gap) + " skipped";
      }
    uint32_t prevTag = state_.tag;
    elapsed_ += steps;
    state_.iteration = i;
    state_.batch += steps;
    state_.tag = sc_.firstTag + static_cast<uint32_t>(elapsed_ * sc_.batchMicros / 64);
    state_.antennaTag = sc_.antennaDelay && i > 0 ? prevTag : state_.tag;
    state_.secs = sc_.timeOfDay + static_cast<uint32_t>(elapsed_ * sc_.batchMicros / 1000000);
    double dt = steps * sc_.batchMicros * 1e-6;
    double h = state_.heading * std::numbers::pi / 180.0;
    state_.latitude += sc_.speed * dt * std::cos(h) / earthRadius * 180.0 / std::numbers::pi;
    state_.longitude += sc_.speed * dt * std::sin(h) / (earthRadius * std::cos(state_.latitude * std::numbers::pi / 180.0)) *
                        180.0 / std::numbers::pi;
    const ModeStep& mode = modeAt(i);
    state_.mode = mode.mode;
    state_.waveform = mode.waveform;
    state_.standby = standbyAfter(i);
    if (i == 0) {
      m_.firstTag = state_.tag;
      m_.firstSecs = state_.secs;
    }
  }

  const ModeStep& modeAt(uint32_t i) const {
    uint64_t period = 0;
    for (const auto& step : sc_.modes) {
      if (step.batches == 0) { period = 0; break; }
      period += step.batches;
    }
    uint64_t at = period ? i % period : i;
    for (const auto& step : sc_.modes) {
      if (step.batches == 0 || at < step.batches) return step;
      at -= step.batches;
    }
    return sc_.modes.back();
  }

  // ---- one batch ----------------------------------------------------------------------

  void prepareBatch(uint32_t i) {
    for (auto& lane : lanes_) lane.clear();
    for (auto& lane : extraLanes_) lane.clear();
    buildFirmwareHeader(header_.data(), state_);
    std::memcpy(badHeader_.data(), header_.data(), header_.size());
    put32(badHeader_.data() + 4 * hdrMagicWord, 0x30524458);  // "XDR0"
    for (size_t f = 0; f < flows_.size(); ++f)
      if (enabled_[f]) prepareFlow(f, i);
    addFaultLanes(i);
  }

  void prepareFlow(size_t f, uint32_t i) {
    const FlowDef& def = flows_[f];
    switch (def.content) {
      case Content::Header: {
        size_t fault = noHdr0(f, i);
        CycleJob& job = queue(f, fault != SIZE_MAX ? badHeader_.data() : header_.data(), cycleBytes_[f]);
        if (fault != SIZE_MAX && m_.faults[fault].flow == def.name) {  // the first header flow hit
          job.markBlock = 0;
          job.markByte = blockHeaderSize + 4 * hdrMagicWord;
          job.fault = fault;
        }
        break;
      }
      case Content::Signal:
        queue(f, table_->matrix(def.stream, state_.batch), cycleBytes_[f]);
        break;
      case Content::Link:
        buildLink(links_[f].data(), cycleBytes_[f], static_cast<uint32_t>(f), state_);
        queue(f, links_[f].data(), cycleBytes_[f]);
        break;
      case Content::ExtLink:
        buildExtLink(extLink_.data(), state_);
        queue(f, extLink_.data(), cycleBytes_[f]);
        break;
      case Content::Timer:
        buildTimer(timer_.data(), state_);
        queue(f, timer_.data(), cycleBytes_[f]);
        break;
      case Content::Video:
        if (sc_.videoEvery && i % sc_.videoEvery == 0) {
          painter_.paint(video_.data(), ++m_.videoFrames, sc_.seed);
          queue(f, video_.data(), cycleBytes_[f]);
        }
        break;
      case Content::SoftDfe:
        prepareSoftDfe(f);
        break;
      case Content::Soft:
        prepareSoft(f, i);
        break;
    }
  }

  // Answers the no-hdr0 fault that applies to header flow f in iteration i, or SIZE_MAX.
  size_t noHdr0(size_t f, uint32_t i) {
    size_t hit = SIZE_MAX;
    const std::string name = flows_[f].name;
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      const FaultOption& option = *optionOf_[k];
      if (option.kind != FaultKind::NoHdr0 || option.at != i) continue;
      bool chosen = option.flow.empty() ? name == "F-HDR" || name == "DISPHEADER" : option.flow == name;
      if (!chosen) continue;
      hit = k;
      placed_[k] = true;
      FaultRecord& r = m_.faults[k];
      r.batch = state_.batch;
      r.sourceId = source_[f];
      r.flow += (r.flow.empty() ? "" : ",") + name;
    }
    return hit;
  }

  // Queues a cycle of flow f; ping-pong flows alternate their halves cycle by cycle.
  CycleJob& queue(size_t f, const uint8_t* data, uint32_t length) {
    CycleJob job;
    job.flow = static_cast<uint16_t>(f);
    job.source = source_[f];
    job.address = flows_[f].base + (useHalfB_[f] && cyclesOf_[f] % 2 ? flows_[f].pingpong : 0);
    job.data = data;
    job.length = length;
    ++cyclesOf_[f];
    applyBlockFaults(job, lanes_[f].jobs.size());
    mapCycle(job);
    lanes_[f].jobs.push_back(job);
    account(lanes_[f].jobs.back());
    return lanes_[f].jobs.back();
  }

  void applyBlockFaults(CycleJob& job, size_t cycle) {
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      const FaultOption& option = *optionOf_[k];
      bool blockFault = option.kind == FaultKind::MissingBlock || option.kind == FaultKind::DuplicatedBlock ||
                        option.kind == FaultKind::TruncatedBlock;
      if (!blockFault || placed_[k] || option.at != state_.iteration || option.cycle != cycle ||
          m_.faults[k].flow != flows_[job.flow].name)
        continue;
      int32_t block = static_cast<int32_t>(std::min(option.block, job.blocks() - 1));
      FaultRecord& r = m_.faults[k];
      r.block = static_cast<uint32_t>(block);
      r.batch = state_.batch;
      r.sourceId = job.source;
      if (option.kind == FaultKind::MissingBlock) {
        job.missing = block;
        r.description = "block " + std::to_string(block) + " of " + std::to_string(job.blocks()) + " left out";
        if (block == static_cast<int32_t>(job.blocks()) - 1)
          r.description += "; it was the last block, so the cycle is complete but shorter";
        else if (block == 0 && !useHalfB_[job.flow])
          r.description += "; without its start block the rest joins the cycle before, as repeated blocks";
        else if (block == 0)
          r.description += "; the cycle has no start block";
      } else if (option.kind == FaultKind::DuplicatedBlock) {
        job.duplicate = block;
        r.description = "block " + std::to_string(block) + " written twice in a row";
      } else {
        job.truncated = block;
        job.cutBytes = r.bytes;
        r.description = "block " + std::to_string(block) + " cut short by " + std::to_string(r.bytes) +
                        " bytes (its data takes the first bytes of the next block)";
      }
      job.markBlock = block;
      job.fault = k;
      placed_[k] = true;
    }
  }

  void mapCycle(CycleJob& job) {
    bool complete = job.missing < 0 || job.missing == static_cast<int32_t>(job.blocks()) - 1;
    job.mapped = mapper_.open(flows_[job.flow].name, job.source, job.address, job.length, complete);
  }

  // Adds a job's blocks to the counts of its flow and source as the run would judge them.
  void account(const CycleJob& job) {
    FlowCount& c = countFor(job.flow, job.source);
    uint32_t blocks = job.blocks();
    uint32_t written = blocks - (job.missing >= 0 ? 1 : 0);
    if (written == 0) return;
    uint32_t highest = job.missing == static_cast<int32_t>(blocks) - 1 ? blocks - 2 : blocks - 1;
    bool complete = job.missing < 0 || job.missing == static_cast<int32_t>(blocks) - 1;
    ++c.cycles;
    (complete ? c.completeCycles : c.partialCycles) += 1;
    c.lastCyclePartial = !complete;
    c.blocks += written + (job.duplicate >= 0 ? 1 : 0);
    c.maxExtent = std::max(c.maxExtent, (highest + 1) * blockDataSize);
  }

  FlowCount& countFor(uint16_t f, uint8_t source) {
    for (auto& c : m_.flows)
      if (c.name == flows_[f].name && c.sourceId == source) return c;
    FlowCount c;
    c.name = flows_[f].name;
    c.sourceId = source;
    c.base = flows_[f].base;
    c.pingpong = flows_[f].pingpong;
    m_.flows.push_back(c);
    return m_.flows.back();
  }

  // Software stream: the header copy with its extension records, the navigation and
  // status blocks, then the signal copies of the batch before (the software copies a
  // batch once the firmware has finished it, so its copy follows the next firmware batch).
  void prepareSoft(size_t f, uint32_t i) {
    const uint32_t extBytes = 16 + extCmpcBytes + 16 + extSarrBytes;
    uint8_t* hdr = softHeader_.data();
    uint32_t payload = alignedPayload(0, hdrBytes - 44 + extBytes);
    std::memset(hdr, 0, softHeader_.size());
    uint32_t length = frameSBlock(hdr, "DSPHDRIN", payload, state_.batch, state_.tag, serial_++);
    buildDspHeader(hdr + softHeaderOffset, state_);
    buildExtRecords(hdr + softHeaderOffset + hdrBytes, state_);
    queueSoft(f, hdr, length, {"DSPHDRIN"}, {0}, {payload});
    ++m_.softHeaders;
    if (m_.softHeaders == 1) m_.firstSoftBatch = state_.batch;
    m_.lastSoftBatch = state_.batch;

    uint8_t* nav = softNav_.data();
    uint32_t navLength = frameSBlock(nav, "D1553", d1553Bytes, state_.batch, state_.tag, serial_++);
    buildD1553(nav + sblockHeaderSize, state_);
    uint32_t statusPayload = alignedPayload(navLength, cdpstsBytes);
    uint32_t statusLength = frameSBlock(nav + navLength, "CDPSTS", statusPayload, state_.batch, state_.tag, serial_++);
    std::memset(nav + navLength + sblockHeaderSize, 0, statusPayload);
    buildCdpsts(nav + navLength + sblockHeaderSize, state_);
    queueSoft(f, nav, navLength + statusLength, {"D1553", "CDPSTS"}, {0, navLength}, {d1553Bytes, statusPayload});

    if (i == 0) return;
    for (size_t k = 0; k < softStreams_.size(); ++k) {
      int stream = softStreams_[k];
      uint8_t* b = softSignal_[k].data();
      uint32_t signalPayload = matrixBytes_ + 56;
      uint32_t len = frameSBlock(b, streamName(stream), signalPayload, previous_.batch, previous_.tag, serial_++);
      uint8_t* p = b + sblockHeaderSize;
      for (uint32_t w = 0; w < 10; ++w) put32(p + 4 * w, 0x01010101u * (w + 1));
      put32(p, previous_.rows);
      put32(p + 4, previous_.cols);
      put32(p + 8, previous_.batch);
      put32(p + 12, previous_.tag);
      std::memcpy(p + 40, table_->matrix(stream, previous_.batch), matrixBytes_);
      for (uint32_t w = 0; w < 4; ++w) put32(p + 40 + matrixBytes_ + 4 * w, 0x0F0F0F0Fu + w);
      queueSoft(f, b, len, {streamName(stream)}, {0}, {signalPayload});
    }
  }

  void prepareSoftDfe(size_t f) {
    uint32_t txPayload = alignedPayload(0, aesaTxBytes);
    uint32_t txLength = frameSBlock(aesaTx_.data(), "AESATX", txPayload, state_.batch, state_.tag, serial_++);
    std::memset(aesaTx_.data() + sblockHeaderSize, 0, txPayload);
    buildAesaTx(aesaTx_.data() + sblockHeaderSize, state_);
    queueSoft(f, aesaTx_.data(), txLength, {"AESATX"}, {0}, {txPayload});
    uint32_t rxPayload = alignedPayload(0, aesaRxBytes);
    uint32_t rxLength = frameSBlock(aesaRx_.data(), "AESARX", rxPayload, state_.batch, state_.tag, serial_++);
    std::memset(aesaRx_.data() + sblockHeaderSize, 0, rxPayload);
    buildAesaRx(aesaRx_.data() + sblockHeaderSize, state_);
    queueSoft(f, aesaRx_.data(), rxLength, {"AESARX"}, {0}, {rxPayload});
  }

  // Queues one software cycle and damages an S-Block end marker where a fault asks for it.
  void queueSoft(size_t f, uint8_t* data, uint32_t length, std::initializer_list<const char*> names,
                 std::initializer_list<uint32_t> starts, std::initializer_list<uint32_t> payloads) {
    auto name = names.begin();
    auto start = starts.begin();
    auto payload = payloads.begin();
    int32_t markBlock = -1;
    uint32_t markByte = 0;
    size_t fault = 0;
    for (; name != names.end(); ++name, ++start, ++payload) {
      ++m_.softBlocks[*name];
      for (size_t k = 0; k < m_.faults.size(); ++k) {
        const FaultOption& option = *optionOf_[k];
        if (option.kind != FaultKind::SBlockEnd || placed_[k] || option.at != state_.iteration ||
            m_.faults[k].flow != *name)
          continue;
        uint32_t endMarker = *start + sblockHeaderSize + *payload;
        data[endMarker] = 0x00;
        placed_[k] = true;
        markBlock = static_cast<int32_t>(endMarker / blockDataSize);
        markByte = blockHeaderSize + endMarker % blockDataSize;
        fault = k;
        FaultRecord& r = m_.faults[k];
        r.batch = get32(data + *start + 40);
        r.sourceId = source_[f];
        r.block = static_cast<uint32_t>(markBlock);
        r.description = std::string("end marker of S-Block ") + *name + " in a " + flows_[f].name +
                        " cycle: first byte 0x00 instead of 0xA5";
      }
    }
    CycleJob& job = queue(f, data, length);
    if (markBlock >= 0) {
      job.markBlock = markBlock;
      job.markByte = markByte;
      job.fault = fault;
    }
  }

  void addFaultLanes(uint32_t i) {
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      const FaultOption& option = *optionOf_[k];
      if (option.at != i || placed_[k]) continue;
      FaultRecord& r = m_.faults[k];
      if (option.kind == FaultKind::UnknownAddress) {
        for (uint32_t n = 0; n < option.count; ++n) {
          CycleJob job;
          job.address = option.address;
          job.source = sourceDsp;
          job.data = unknown_.data();
          job.length = blockDataSize;
          if (n == 0) {
            job.markBlock = 0;
            job.fault = k;
          }
          extraLanes_[1].jobs.push_back(job);
        }
        r.batch = state_.batch;
        placed_[k] = true;
      } else if (option.kind == FaultKind::SecondSource) {
        int f = flowIndex(r.flow);
        if (lanes_[f].jobs.empty()) continue;  // the flow writes nothing in this batch
        CycleJob job = lanes_[f].jobs.front();
        job.source = r.sourceId;
        job.missing = job.duplicate = job.truncated = -1;
        job.markBlock = 0;
        job.markByte = 0;
        job.fault = k;
        mapCycle(job);
        size_t group = flows_[f].content == Content::Header ? 0 : flows_[f].content == Content::Soft ? 2 : 1;
        extraLanes_[group].jobs.push_back(job);
        account(job);
        r.batch = state_.batch;
        r.count = 1;
        r.description = "one cycle of " + r.flow + " also written by source " + hex(r.sourceId);
        placed_[k] = true;
      }
    }
  }

  // ---- writing ------------------------------------------------------------------------

  void writeGroup(const std::vector<Lane*>& lanes) {
    const uint32_t chunk = sc_.interleave ? sc_.interleave : UINT32_MAX;
    bool pending = true;
    while (pending) {
      pending = false;
      for (Lane* lane : lanes) {
        for (uint32_t n = 0; n < chunk && !lane->done(); ++n) writeNextBlock(*lane);
        pending = pending || !lane->done();
      }
    }
  }

  void writeNextBlock(Lane& lane) {
    const CycleJob& job = lane.jobs[lane.next];
    const uint32_t b = lane.block;
    if (static_cast<int32_t>(b) == job.markBlock) m_.faults[job.fault].offset = writer_.position() + job.markByte;
    if (static_cast<int32_t>(b) != job.missing) {
      uint32_t offset = b * blockDataSize;
      uint32_t dataBytes = std::min(blockDataSize, job.length - offset);
      uint32_t bytes = static_cast<int32_t>(b) == job.truncated ? recorderBlockSize - job.cutBytes : recorderBlockSize;
      mapper_.block(job.mapped, writer_.position());
      writer_.block(job.address + offset, sc_.sourceTag, job.source, job.data + offset, dataBytes, bytes);
      if (static_cast<int32_t>(b) == job.duplicate) {
        mapper_.block(job.mapped, writer_.position());
        writer_.block(job.address + offset, sc_.sourceTag, job.source, job.data + offset, dataBytes);
      }
      lastFlow_ = job.flow;
      lastBlock_ = b;
      lastSource_ = job.source;
    }
    if (++lane.block == job.blocks()) {
      lane.block = 0;
      ++lane.next;
    }
  }

  // ---- the end ------------------------------------------------------------------------

  std::string checkFaultsPlaced() const {
    for (size_t k = 0; k < m_.faults.size(); ++k)
      if (!placed_[k])
        return "fault " + optionOf_[k]->text + " was not placed (batch iteration " + std::to_string(optionOf_[k]->at) +
               " not written, or the flow or block is not there)";
    return "";
  }

  void finishFaultRecords() {
    for (size_t k = 0; k < m_.faults.size(); ++k) {
      FaultRecord& r = m_.faults[k];
      if (optionOf_[k]->kind == FaultKind::BitFlips) {
        while (!r.offsets.empty() && r.offsets.back() >= m_.totalBytes) {
          r.offsets.pop_back();
          --r.count;
        }
        r.description += "; " + std::to_string(r.count) + " bits flipped";
      }
    }
    if (cutEndFault_ != SIZE_MAX && m_.blocks > 0) {
      FaultRecord& r = m_.faults[cutEndFault_];
      r.offset = m_.totalBytes;
      r.iteration = m_.iterations ? m_.iterations - 1 : 0;
      r.batch = m_.lastBatch;
      r.flow = lastFlow_ == noFlow ? "" : flows_[lastFlow_].name;
      r.sourceId = lastSource_;
      r.block = lastBlock_;
      r.description = "the last file stops " + std::to_string(r.bytes) + " of 272 bytes short of the end of its last block (" +
                      r.flow + " block " + std::to_string(lastBlock_) + "), which is lost";
    }
  }

  const Scenario& sc_;
  Manifest& m_;
  RecordingWriter writer_;
  const std::vector<FlowDef>& flows_;
  uint32_t matrixBytes_ = 0;
  std::vector<bool> enabled_, useHalfB_;
  std::vector<uint32_t> cycleBytes_;
  std::vector<uint8_t> source_;
  std::vector<int> softStreams_;
  std::vector<const FaultOption*> optionOf_;
  std::vector<bool> placed_;
  uint32_t cutEndBytes_ = 0;
  size_t cutEndFault_ = SIZE_MAX;
  std::unique_ptr<SampleTable> table_;
  VideoPainter painter_;
  std::vector<uint8_t> header_, badHeader_, softHeader_, softNav_, aesaTx_, aesaRx_, timer_, extLink_, video_,
      unknown_;
  std::vector<uint8_t> softSignal_[softSignalStreams];
  std::vector<std::vector<uint8_t>> links_;
  std::vector<Lane> lanes_;
  std::vector<Lane> extraLanes_;
  std::vector<Lane*> groups_[3];
  std::vector<uint32_t> cyclesOf_;
  CycleMapper mapper_;
  BatchState state_, previous_;
  uint64_t elapsed_ = 0;
  uint32_t serial_ = 1;
  uint16_t lastFlow_ = noFlow;
  uint32_t lastBlock_ = 0;
  uint8_t lastSource_ = 0;
};

}  // namespace

std::string writeRecording(const Scenario& scenario, Manifest& manifest) {
  manifest = Manifest{};
  std::string error = Synthesiser(scenario, manifest).run();
  if (!error.empty()) {
    // A recording that does not match its scenario is no use to anyone: take it away.
    std::error_code ignored;
    for (const auto& f : manifest.files) std::filesystem::remove(f.path, ignored);
    manifest.files.clear();
  }
  return error;
}

std::pair<size_t, uint64_t> filePosition(const Manifest& manifest, uint64_t streamOffset) {
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const FileRecord& f = manifest.files[i];
    if (streamOffset < f.start + f.size || i + 1 == manifest.files.size()) return {i, streamOffset - f.start};
  }
  return {0, streamOffset};
}

}  // namespace synth

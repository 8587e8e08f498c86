// tarsel-synth: writes synthetic recorder files (numbered, dated, optionally damaged)
// with the flows of the built-in layout, plus a JSON manifest of what was written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace synth {

/// A stretch of batches flown in one radar mode with one waveform (0 batches: to the end).
struct ModeStep {
  uint32_t mode = 4;      // mode number (4 = rws)
  uint32_t waveform = 2;  // waveform number (2 = mprf)
  uint32_t batches = 0;
};

/// A standby period: before batch iteration `at`, `batches` batch numbers are skipped.
struct StandbyPeriod {
  uint32_t at = 0;
  uint32_t batches = 1;
};

enum class FaultKind {
  StrayBytes,       // junk in front of the first block
  TruncatedBlock,   // one block shorter than 272 bytes
  MissingBlock,     // one block of a cycle left out
  DuplicatedBlock,  // one block of a cycle written twice
  UnknownAddress,   // blocks at an address no flow claims
  SecondSource,     // a second recording source writes one cycle of a flow
  NoHdr0,           // a firmware header without "HDR0"
  BatchHole,        // batch numbers skipped
  SBlockEnd,        // a damaged S-Block end marker
  BitFlips,         // random bit flips at a rate per bit
  CutEnd,           // the last file ends inside a block
};

/// One fault option, as given ("missing-block:flow=F-SUM,at=3,block=5").
struct FaultOption {
  FaultKind kind = FaultKind::StrayBytes;
  std::string text;        // the option as written, for the manifest
  std::string flow;        // flow name ("" = the kind's default)
  std::string sblock;      // S-Block name for sblock-end
  uint32_t at = 2;         // batch iteration (0-based) where the fault is placed
  uint32_t cycle = 0;      // which cycle of the flow within that iteration
  uint32_t block = 1;      // block index within the cycle
  uint32_t bytes = 0;      // stray bytes, bytes cut (0 = the kind's default)
  uint32_t count = 1;      // blocks at an unknown address, batches skipped
  uint32_t address = 0x30000000;
  uint32_t sourceId = 0x56;
  double rate = 1e-6;      // bit flips per bit
};

/// Everything that decides the recording; the same scenario and seed give the same bytes.
struct Scenario {
  uint64_t seed = 1;
  uint32_t batches = 12;
  uint64_t targetBytes = 0;  // --size: keep adding batches until this many bytes are written
  uint32_t rows = 32;
  uint32_t cols = 256;
  uint32_t firstBatch = 1000;
  uint32_t batchMicros = 40000;
  uint32_t firstTag = 0x00100000;
  uint32_t year = 19, month = 5, day = 17;  // year - 2000
  uint32_t timeOfDay = 10 * 3600 + 30 * 60;
  double latitude = 45.4, longitude = 9.2, altitude = 3000, heading = 60, speed = 150;
  std::vector<ModeStep> modes{ModeStep{}};
  std::vector<StandbyPeriod> standby;
  std::map<std::string, uint8_t> sources;  // flow name -> source id overrides
  std::vector<std::string> onlyFlows;      // empty: every writable flow
  std::vector<std::string> skipFlows;
  bool noBulky = false;
  std::vector<std::string> softSignals{"SUM", "DAZ", "DEL", "GUARD"};
  uint32_t videoEvery = 4;
  uint32_t beams = 6;
  uint32_t scaleNm = 40;
  uint32_t interleave = 4;
  uint32_t antennaDelay = 0;  // 1: antenna time tag lags one batch
  uint8_t sourceTag = 1;
  uint64_t splitBytes = 0;
  uint32_t splitBatches = 0;
  std::string outputDir = ".";
  std::string stem;  // default "_YY-MM-DD-HH-MM-SS_"
  uint32_t firstIndex = 1;
  std::string extension = "rec";
  std::string manifestPath;  // default <first file>.manifest.json
  std::string cycleMapPath;  // --cycle-map: where every cycle's blocks lie (recorded only when set)
  std::vector<FaultOption> faults;
  bool quiet = false;
};

/// Applies one option (long name without "--", value as text); answers an error text or "".
std::string applyOption(Scenario& scenario, const std::string& key, const std::string& value);
/// Parses the command line (argv[1..]); answers an error text or "". Sets `help` for --help.
std::string parseCommandLine(Scenario& scenario, const std::vector<std::string>& args, bool& help);
/// Applies the members of a JSON scenario object (keys as the long options); error text or "".
std::string applyScenarioJson(Scenario& scenario, const std::string& jsonText);
/// The --help text.
std::string usageText();
/// The stem of the numbered file names: the --stem value or "_YY-MM-DD-HH-MM-SS_".
std::string fileStem(const Scenario& scenario);

/// Counts for one flow and one recording source, as written.
struct FlowCount {
  std::string name;
  uint8_t sourceId = 0;
  uint32_t base = 0;
  uint32_t pingpong = 0;
  uint32_t cycles = 0;          // cycles started (block 0 written, or at least one block)
  uint32_t completeCycles = 0;  // every block from 0 to the highest written one is present
  uint32_t partialCycles = 0;
  bool lastCyclePartial = false;
  uint64_t blocks = 0;          // recorder blocks written, repeats included
  uint32_t maxExtent = 0;       // largest (highest block index + 1) * 256 of a cycle
};

/// One fault as placed in the recording.
struct FaultRecord {
  std::string kind;
  std::string option;
  std::string description;
  std::string flow;
  uint8_t sourceId = 0;
  uint32_t batch = 0;       // batch number concerned (0 when none)
  uint32_t iteration = 0;
  uint32_t block = 0;
  uint32_t bytes = 0;
  uint32_t count = 0;
  uint32_t address = 0;
  uint64_t offset = 0;      // position in the whole stream
  std::vector<uint64_t> offsets;  // bit flips: every flipped byte, in order
};

/// One file of the numbered sequence.
struct FileRecord {
  std::string name;  // without directory
  std::string path;
  uint64_t size = 0;
  uint64_t start = 0;  // stream offset of its first byte
};

/// One cycle as written: where its recorder blocks lie in the whole stream.
struct CycleRecord {
  std::string flow;
  uint8_t sourceId = 0;
  uint32_t cycle = 0;    // 0, 1, ... per flow and source
  uint32_t address = 0;  // start address of the half it was written to
  uint32_t bytes = 0;
  bool complete = true;  // every block from 0 to the highest written one is present
  std::vector<uint64_t> blocks;  // stream offsets, in writing order (a repeated block twice)
  int64_t close = -1;    // first block of the next cycle of the flow and source; -1: none
};

/// What was written.
struct Manifest {
  std::vector<FileRecord> files;
  uint64_t totalBytes = 0;
  uint64_t blocks = 0;
  uint32_t iterations = 0;
  uint32_t firstBatch = 0, lastBatch = 0;
  uint32_t firstTag = 0, lastTag = 0;
  uint32_t firstSecs = 0, lastSecs = 0;
  uint32_t softHeaders = 0, firstSoftBatch = 0, lastSoftBatch = 0;
  uint32_t videoFrames = 0;
  std::vector<uint32_t> batchNumbers;   // every batch number written, in order
  std::vector<FlowCount> flows;
  std::map<std::string, uint32_t> softBlocks;  // S-Blocks written, by name
  std::map<std::string, std::string> skippedFlows;  // flow -> reason
  std::vector<FaultRecord> faults;
  std::vector<CycleRecord> cycles;  // filled only when the scenario names a cycle map
  double seconds = 0;
};

/// Writes the recording described by the scenario; answers an error text or "" and fills manifest.
std::string writeRecording(const Scenario& scenario, Manifest& manifest);
/// The manifest as JSON text.
std::string manifestJson(const Scenario& scenario, const Manifest& manifest);
/// The cycle map: one JSON line per cycle that has at least one block.
std::string cycleMapLines(const Manifest& manifest);
/// Position in a file of the sequence: index into manifest.files and offset within it.
std::pair<size_t, uint64_t> filePosition(const Manifest& manifest, uint64_t streamOffset);

}  // namespace synth

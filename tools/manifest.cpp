// The manifest: what a recording holds, as JSON, for tests to compare with tarsel's report.
#include <sstream>

#include "synth_internal.h"

namespace synth {

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\', out += c;
    else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += c;
  }
  return out + "\"";
}

std::string hexText(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "\"0x%X\"", v);
  return text;
}

std::string sourceText(uint8_t id) {
  return id >= 0x21 && id < 0x7F ? quoted(std::string(1, static_cast<char>(id))) : "null";
}

std::string number(double v) {
  std::ostringstream out;
  out.precision(10);
  out << v;
  return out.str();
}

void writeScenario(std::ostringstream& o, const Scenario& s) {
  char date[16], time[16];
  std::snprintf(date, sizeof date, "%02u-%02u-%02u", s.year, s.month, s.day);
  std::snprintf(time, sizeof time, "%02u:%02u:%02u", s.timeOfDay / 3600, s.timeOfDay / 60 % 60, s.timeOfDay % 60);
  o << "  \"scenario\": {\n"
    << "    \"batches\": " << s.batches << ", \"size\": " << s.targetBytes << ",\n"
    << "    \"rows\": " << s.rows << ", \"cols\": " << s.cols << ", \"firstBatch\": " << s.firstBatch
    << ", \"firstTag\": " << s.firstTag << ", \"batchMicros\": " << s.batchMicros << ",\n"
    << "    \"date\": " << quoted(date) << ", \"time\": " << quoted(time) << ",\n"
    << "    \"latitude\": " << number(s.latitude) << ", \"longitude\": " << number(s.longitude)
    << ", \"altitude\": " << number(s.altitude) << ", \"heading\": " << number(s.heading)
    << ", \"speed\": " << number(s.speed) << ",\n    \"modes\": [";
  for (size_t i = 0; i < s.modes.size(); ++i)
    o << (i ? ", " : "") << "{\"mode\": " << s.modes[i].mode << ", \"waveform\": " << s.modes[i].waveform
      << ", \"batches\": " << s.modes[i].batches << "}";
  o << "],\n    \"standby\": [";
  for (size_t i = 0; i < s.standby.size(); ++i)
    o << (i ? ", " : "") << "{\"at\": " << s.standby[i].at << ", \"batches\": " << s.standby[i].batches << "}";
  o << "],\n    \"beams\": " << s.beams << ", \"scale\": " << s.scaleNm << ", \"antennaDelay\": " << s.antennaDelay
    << ", \"videoEvery\": " << s.videoEvery << ", \"interleave\": " << s.interleave
    << ", \"sourceTag\": " << unsigned(s.sourceTag) << ",\n"
    << "    \"splitBytes\": " << s.splitBytes << ", \"splitBatches\": " << s.splitBatches
    << ", \"noBulky\": " << (s.noBulky ? "true" : "false") << "\n  },\n";
}

void writeFlows(std::ostringstream& o, const Manifest& m) {
  o << "  \"flows\": [\n";
  for (size_t i = 0; i < m.flows.size(); ++i) {
    const FlowCount& f = m.flows[i];
    o << "    {\"name\": " << quoted(f.name) << ", \"sourceId\": " << unsigned(f.sourceId)
      << ", \"source\": " << sourceText(f.sourceId) << ", \"base\": " << f.base << ", \"baseHex\": " << hexText(f.base)
      << ", \"pingpong\": " << f.pingpong << ", \"cycles\": " << f.cycles
      << ", \"completeCycles\": " << f.completeCycles << ", \"partialCycles\": " << f.partialCycles
      << ", \"lastCyclePartial\": " << (f.lastCyclePartial ? "true" : "false") << ", \"blocks\": " << f.blocks
      << ", \"maxExtent\": " << f.maxExtent << "}" << (i + 1 < m.flows.size() ? "," : "") << "\n";
  }
  o << "  ],\n  \"softBlocks\": {";
  size_t k = 0;
  for (const auto& [name, count] : m.softBlocks) o << (k++ ? ", " : "") << quoted(name) << ": " << count;
  o << "},\n  \"skippedFlows\": {";
  k = 0;
  for (const auto& [name, reason] : m.skippedFlows) o << (k++ ? "," : "") << "\n    " << quoted(name) << ": " << quoted(reason);
  o << (m.skippedFlows.empty() ? "" : "\n  ") << "},\n";
}

void writeFaults(std::ostringstream& o, const Manifest& m) {
  o << "  \"faults\": [";
  for (size_t i = 0; i < m.faults.size(); ++i) {
    const FaultRecord& f = m.faults[i];
    auto [file, fileOffset] = filePosition(m, f.offset);
    o << (i ? "," : "") << "\n    {\"kind\": " << quoted(f.kind) << ", \"option\": " << quoted(f.option)
      << ",\n     \"description\": " << quoted(f.description) << ",\n     \"flow\": " << quoted(f.flow)
      << ", \"sourceId\": " << unsigned(f.sourceId) << ", \"batch\": " << f.batch << ", \"iteration\": " << f.iteration
      << ", \"block\": " << f.block << ", \"bytes\": " << f.bytes << ", \"count\": " << f.count
      << ", \"address\": " << f.address << ",\n     \"offset\": " << f.offset << ", \"file\": "
      << (m.files.empty() ? "\"\"" : quoted(m.files[file].name)) << ", \"fileIndex\": " << file
      << ", \"fileOffset\": " << fileOffset;
    if (!f.offsets.empty() || f.kind == "bit-flips") {
      o << ",\n     \"offsets\": [";
      for (size_t j = 0; j < f.offsets.size(); ++j) o << (j ? ", " : "") << f.offsets[j];
      o << "]";
    }
    o << "}";
  }
  o << (m.faults.empty() ? "" : "\n  ") << "]\n";
}

}  // namespace

std::string manifestJson(const Scenario& s, const Manifest& m) {
  std::ostringstream o;
  o << "{\n  \"generator\": \"tarsel-synth\",\n  \"seed\": " << s.seed << ",\n";
  writeScenario(o, s);
  o << "  \"files\": [";
  for (size_t i = 0; i < m.files.size(); ++i)
    o << (i ? ", " : "") << "\n    {\"name\": " << quoted(m.files[i].name) << ", \"size\": " << m.files[i].size
      << ", \"start\": " << m.files[i].start << "}";
  o << "\n  ],\n  \"totalBytes\": " << m.totalBytes << ",\n  \"blocks\": " << m.blocks << ",\n"
    << "  \"batches\": {\"iterations\": " << m.iterations << ", \"first\": " << m.firstBatch << ", \"last\": " << m.lastBatch
    << ", \"numbers\": [";
  for (size_t i = 0; i < m.batchNumbers.size(); ++i) o << (i ? ", " : "") << m.batchNumbers[i];
  o << "]},\n  \"timeTag\": {\"first\": " << m.firstTag << ", \"last\": " << m.lastTag << "},\n"
    << "  \"timeOfDay\": {\"first\": " << m.firstSecs << ", \"last\": " << m.lastSecs << "},\n"
    << "  \"softHeaders\": {\"count\": " << m.softHeaders << ", \"firstBatch\": " << m.firstSoftBatch
    << ", \"lastBatch\": " << m.lastSoftBatch << "},\n"
    << "  \"videoFrames\": " << m.videoFrames << ",\n";
  writeFlows(o, m);
  writeFaults(o, m);
  o << "}\n";
  return o.str();
}

}  // namespace synth

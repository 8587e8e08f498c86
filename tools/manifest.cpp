// The manifest: what a recording holds, as JSON, for tests to compare with tarsel's report.
#include <cmath>
#include <sstream>

#include "synth_internal.h"

namespace synth {

namespace {

std::string hexText(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// A printable source id as its character, otherwise null.
Json sourceText(uint8_t id) {
  return id >= 0x21 && id < 0x7F ? Json(std::string(1, static_cast<char>(id))) : Json();
}

// A scenario value with ten significant digits; a whole number is written without a fraction.
Json number(double v) {
  std::ostringstream out;
  out.precision(10);
  out << v;
  double rounded = std::strtod(out.str().c_str(), nullptr);
  if (std::isfinite(rounded) && std::floor(rounded) == rounded && std::fabs(rounded) < 1e15)
    return Json(static_cast<int64_t>(rounded));
  return Json(rounded);
}

Json scenarioJson(const Scenario& s) {
  char date[16], time[16];
  std::snprintf(date, sizeof date, "%02u-%02u-%02u", s.year, s.month, s.day);
  std::snprintf(time, sizeof time, "%02u:%02u:%02u", s.timeOfDay / 3600, s.timeOfDay / 60 % 60,
                s.timeOfDay % 60);
  Json modes = Json::array();
  for (const ModeStep& m : s.modes)
    modes.push_back({{"mode", m.mode}, {"waveform", m.waveform}, {"batches", m.batches}});
  Json standby = Json::array();
  for (const StandbyPeriod& p : s.standby)
    standby.push_back({{"at", p.at}, {"batches", p.batches}});
  return Json{{"batches", s.batches},
              {"size", s.targetBytes},
              {"rows", s.rows},
              {"cols", s.cols},
              {"firstBatch", s.firstBatch},
              {"firstTag", s.firstTag},
              {"batchMicros", s.batchMicros},
              {"date", date},
              {"time", time},
              {"latitude", number(s.latitude)},
              {"longitude", number(s.longitude)},
              {"altitude", number(s.altitude)},
              {"heading", number(s.heading)},
              {"speed", number(s.speed)},
              {"modes", modes},
              {"standby", standby},
              {"beams", s.beams},
              {"scale", s.scaleNm},
              {"antennaDelay", s.antennaDelay},
              {"videoEvery", s.videoEvery},
              {"interleave", s.interleave},
              {"sourceTag", unsigned(s.sourceTag)},
              {"splitBytes", s.splitBytes},
              {"splitBatches", s.splitBatches},
              {"noBulky", s.noBulky}};
}

Json flowsJson(const Manifest& m) {
  Json flows = Json::array();
  for (const FlowCount& f : m.flows)
    flows.push_back({{"name", f.name},
                     {"sourceId", unsigned(f.sourceId)},
                     {"source", sourceText(f.sourceId)},
                     {"base", f.base},
                     {"baseHex", hexText(f.base)},
                     {"pingpong", f.pingpong},
                     {"cycles", f.cycles},
                     {"completeCycles", f.completeCycles},
                     {"partialCycles", f.partialCycles},
                     {"lastCyclePartial", f.lastCyclePartial},
                     {"blocks", f.blocks},
                     {"maxExtent", f.maxExtent}});
  return flows;
}

Json faultsJson(const Manifest& m) {
  Json faults = Json::array();
  for (const FaultRecord& f : m.faults) {
    auto [file, fileOffset] = filePosition(m, f.offset);
    Json fault = {{"kind", f.kind},
                  {"option", f.option},
                  {"description", f.description},
                  {"flow", f.flow},
                  {"sourceId", unsigned(f.sourceId)},
                  {"batch", f.batch},
                  {"iteration", f.iteration},
                  {"block", f.block},
                  {"bytes", f.bytes},
                  {"count", f.count},
                  {"address", f.address},
                  {"offset", f.offset},
                  {"file", m.files.empty() ? std::string() : m.files[file].name},
                  {"fileIndex", file},
                  {"fileOffset", fileOffset}};
    if (!f.offsets.empty() || f.kind == "bit-flips") fault["offsets"] = f.offsets;
    faults.push_back(std::move(fault));
  }
  return faults;
}

}  // namespace

std::string manifestJson(const Scenario& s, const Manifest& m) {
  Json files = Json::array();
  for (const FileRecord& f : m.files)
    files.push_back({{"name", f.name}, {"size", f.size}, {"start", f.start}});
  Json softBlocks = Json::object();
  for (const auto& [name, count] : m.softBlocks) softBlocks[name] = count;
  Json skippedFlows = Json::object();
  for (const auto& [name, reason] : m.skippedFlows) skippedFlows[name] = reason;
  Json manifest = {{"generator", "tarsel-synth"},
                   {"seed", s.seed},
                   {"scenario", scenarioJson(s)},
                   {"files", files},
                   {"totalBytes", m.totalBytes},
                   {"blocks", m.blocks},
                   {"batches",
                    {{"iterations", m.iterations},
                     {"first", m.firstBatch},
                     {"last", m.lastBatch},
                     {"numbers", m.batchNumbers}}},
                   {"timeTag", {{"first", m.firstTag}, {"last", m.lastTag}}},
                   {"timeOfDay", {{"first", m.firstSecs}, {"last", m.lastSecs}}},
                   {"softHeaders",
                    {{"count", m.softHeaders},
                     {"firstBatch", m.firstSoftBatch},
                     {"lastBatch", m.lastSoftBatch}}},
                   {"videoFrames", m.videoFrames},
                   {"flows", flowsJson(m)},
                   {"softBlocks", softBlocks},
                   {"skippedFlows", skippedFlows},
                   {"faults", faultsJson(m)}};
  // Texts from the command line need not be UTF-8; such bytes are replaced, not refused.
  return manifest.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace synth

#include "run_report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "commandline/messages.h"

RunReport::RunReport(std::string path) : path_(std::move(path)) {}

void RunReport::addSource(const std::string& name, uint64_t bytes) {
  for (auto& source : sources_)
    if (source.first == name) { source.second = bytes; return; }
  sources_.emplace_back(name, bytes);
}
void RunReport::addProduct(const std::string& name, uint64_t bytes) { products_.emplace_back(name, bytes); }
void RunReport::setCyclesSaved(const std::string& flow, unsigned source, uint64_t cycles) {
  flows_[{flow, source}].saved = cycles;
}
void RunReport::partialCycle(const std::string& flow, unsigned source) { ++flows_[{flow, source}].partial; }
void RunReport::duplicatedBlock(const std::string& flow, unsigned source) { ++flows_[{flow, source}].duplicated; }
void RunReport::cycleFlushed(const std::string& flow, unsigned source) { ++flows_[{flow, source}].flushed; }
void RunReport::badHeaderSeries(const std::string& file, uint64_t position) { badHeaders_.emplace_back(file, position); }
void RunReport::resynchronised(const std::string& file, uint64_t position, uint64_t skipped) {
  resyncs_.push_back({file, position, skipped});
}
void RunReport::setRanges(uint32_t firstBatch, uint32_t lastBatch, uint32_t firstSecs, uint32_t lastSecs) {
  firstBatch_ = firstBatch;
  lastBatch_ = lastBatch;
  firstSecs_ = firstSecs;
  lastSecs_ = lastSecs;
}
void RunReport::setStopSignal(int signalNumber) {
  if (signalNumber == 2) setStop(Stop::interrupt);
  else if (signalNumber == 15) setStop(Stop::terminate);
  else if (signalNumber == 1) setStop(Stop::hangup);
}

namespace {
const char* stopName(RunReport::Stop stop) {
  switch (stop) {
    case RunReport::Stop::interrupt: return "SIGINT";
    case RunReport::Stop::terminate: return "SIGTERM";
    case RunReport::Stop::hangup: return "SIGHUP";
    case RunReport::Stop::writeError: return "write error";
    case RunReport::Stop::fatal: return "F message";
    case RunReport::Stop::none: break;
  }
  return nullptr;
}
}  // namespace

std::string RunReport::text(int exitStatus) const {
  using nlohmann::json;
  json doc;
  doc["program"] = {{"name", "tarsel"}, {"version", version_}};
  json sources = json::array();
  for (const auto& [name, bytes] : sources_) sources.push_back({{"name", name}, {"bytes", bytes}});
  doc["sources"] = sources;
  json flows = json::array();
  uint64_t lost = 0, records = 0;
  for (const auto& [key, c] : flows_) {
    records += c.saved;
    flows.push_back({{"flow", key.first}, {"source", key.second}, {"cycles_saved", c.saved},
                     {"partial_cycles_disregarded", c.partial}, {"duplicated_blocks", c.duplicated},
                     {"cycles_flushed_at_end", c.flushed}});
    lost += c.partial + c.duplicated;
  }
  doc["destination"] = {{"name", destination_}, {"bytes", destinationBytes_}, {"records", records}};
  doc["flows"] = flows;
  doc["unrecognized_addresses"] = unrecognized_;
  json bad = json::array(), resyncs = json::array();
  for (const auto& [file, position] : badHeaders_) bad.push_back({{"file", file}, {"position", position}});
  uint64_t skipped = 0;
  for (const auto& r : resyncs_) {
    resyncs.push_back({{"file", r.file}, {"position", r.position}, {"bytes_skipped", r.skipped}});
    skipped += r.skipped;
  }
  doc["damage"] = {{"bad_header_series", bad}, {"resynchronisations", resyncs}, {"bytes_skipped", skipped}};
  static const char* levels[] = {"D", "i1", "i2", "I", "S", "W", "E", "F"};
  json counts;
  for (int level = 0; level < 8; ++level) counts[levels[level]] = msg::counter(level);
  doc["messages"] = counts;
  doc["batches"] = {{"first", firstBatch_}, {"last", lastBatch_}};
  doc["time"] = {{"first_seconds", firstSecs_}, {"last_seconds", lastSecs_}};
  json products = json::array();
  for (const auto& [name, bytes] : products_) products.push_back({{"name", name}, {"bytes", bytes}});
  doc["products"] = products;
  const char* by = stopName(stop_);
  doc["interrupted"] = {{"interrupted", by != nullptr}, {"by", by ? json(by) : json(nullptr)}};
  doc["elapsed_seconds"] =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  doc["exit_status"] = exitStatus;
  doc["complete"] = by == nullptr && exitStatus == 0 && lost == 0 && unrecognized_ == 0 &&
                    badHeaders_.empty() && resyncs_.empty() && msg::counter(msg::E) == 0 &&
                    msg::counter(msg::F) == 0;
  return doc.dump(2) + "\n";
}

bool RunReport::write(int exitStatus) {
  if (!enabled() || written_) return true;
  written_ = true;
  namespace fs = std::filesystem;
  std::error_code error;
  for (const auto& source : sources_)
    if (fs::equivalent(path_, source.first, error)) {
      msg::error("report %s would overwrite a source; not written", path_.c_str());
      return false;
    }
  const std::string temporary = path_ + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text(exitStatus);
    if (!out.flush()) {
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, path_, error);
  return !error;
}

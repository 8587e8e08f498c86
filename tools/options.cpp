// Command line and scenario file of tarsel-synth.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <sstream>

#include "synth_internal.h"

namespace synth {

namespace {

const char* const modeNames[] = {"idle", "ibit", "gm", "dbs", "rws", "vs", "acm", "tws", "sea1", "sea2",
                                 "gmti", "bcn", "sam", "ta", "wa", "stt", "dtt", "sstt", "acq", "ftt",
                                 "agr", "sar", "inv", "dummy", "etet", "boot"};
const char* const waveformNames[] = {"idle", "lprf", "mprf", "hprf", "lprfnc", "mprf_short",
                                     "agr_short", "agr_long", "mprf_look_up", "mprf_adaptive",
                                     "auto_without_lprf_nc"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator))
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// Unsigned number with automatic base and an optional K, M or G (binary) suffix.
bool parseUnsigned(const std::string& text, uint64_t& out, bool allowSuffix = false) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno || end == text.c_str()) return false;
  std::string rest = lower(end);
  if (allowSuffix && !rest.empty()) {
    int shift = rest[0] == 'k' ? 10 : rest[0] == 'm' ? 20 : rest[0] == 'g' ? 30 : -1;
    if (shift < 0 || (rest.size() > 1 && rest.substr(1) != "b" && rest.substr(1) != "ib")) return false;
    if (v > (UINT64_MAX >> shift)) return false;
    v <<= shift;
    rest.clear();
  }
  if (!rest.empty()) return false;
  out = v;
  return true;
}

bool parse32(const std::string& text, uint32_t& out) {
  uint64_t v;
  if (!parseUnsigned(text, v) || v > UINT32_MAX) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool parseDouble(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
}

bool parseNamed(const std::string& text, const char* const* names, size_t count, uint32_t& out) {
  for (size_t i = 0; i < count; ++i)
    if (lower(text) == names[i]) return (out = static_cast<uint32_t>(i)), true;
  return parse32(text, out);
}

// "rws/mprf:30,gm/lprf:20,sar/agr_long" (the batch count 0 or absent: to the end).
std::string parseModes(const std::string& value, std::vector<ModeStep>& modes) {
  modes.clear();
  for (const auto& item : split(value, ',')) {
    ModeStep step;
    std::string modeText = item, waveText, countText;
    auto colon = item.find(':');
    if (colon != std::string::npos) {
      countText = item.substr(colon + 1);
      modeText = item.substr(0, colon);
    }
    auto slash = modeText.find('/');
    if (slash != std::string::npos) {
      waveText = modeText.substr(slash + 1);
      modeText = modeText.substr(0, slash);
    }
    if (!parseNamed(modeText, modeNames, std::size(modeNames), step.mode)) return "bad mode " + modeText;
    if (!waveText.empty() && !parseNamed(waveText, waveformNames, std::size(waveformNames), step.waveform))
      return "bad waveform " + waveText;
    if (!countText.empty() && !parse32(countText, step.batches)) return "bad batch count " + countText;
    modes.push_back(step);
  }
  return modes.empty() ? "no mode given" : "";
}

std::string parseFault(const std::string& value, FaultOption& fault) {
  static const std::pair<const char*, FaultKind> kinds[] = {
      {"stray-bytes", FaultKind::StrayBytes},     {"truncated-block", FaultKind::TruncatedBlock},
      {"missing-block", FaultKind::MissingBlock}, {"duplicated-block", FaultKind::DuplicatedBlock},
      {"unknown-address", FaultKind::UnknownAddress}, {"second-source", FaultKind::SecondSource},
      {"no-hdr0", FaultKind::NoHdr0},             {"batch-hole", FaultKind::BatchHole},
      {"sblock-end", FaultKind::SBlockEnd},       {"bit-flips", FaultKind::BitFlips},
      {"cut-end", FaultKind::CutEnd}};
  fault = FaultOption{};
  fault.text = value;
  std::string kind = value.substr(0, value.find(':'));
  bool known = false;
  for (const auto& [name, k] : kinds)
    if (kind == name) known = true, fault.kind = k;
  if (!known) return "unknown fault kind " + kind;
  if (fault.kind == FaultKind::BatchHole) fault.count = 1;
  if (kind.size() == value.size()) return "";
  for (const auto& pair : split(value.substr(kind.size() + 1), ',')) {
    auto eq = pair.find('=');
    if (eq == std::string::npos) return "fault setting without '=': " + pair;
    std::string key = pair.substr(0, eq), v = pair.substr(eq + 1);
    bool ok = true;
    if (key == "flow") fault.flow = v;
    else if (key == "sblock" || key == "name") fault.sblock = v;
    else if (key == "at") ok = parse32(v, fault.at);
    else if (key == "cycle") ok = parse32(v, fault.cycle);
    else if (key == "block") ok = parse32(v, fault.block);
    else if (key == "bytes") ok = parse32(v, fault.bytes);
    else if (key == "count") ok = parse32(v, fault.count);
    else if (key == "address") ok = parse32(v, fault.address);
    else if (key == "source") {
      ok = v.size() == 1 ? (fault.sourceId = static_cast<uint8_t>(v[0]), true) : parse32(v, fault.sourceId);
    } else if (key == "rate") ok = parseDouble(v, fault.rate) && fault.rate > 0 && fault.rate < 0.5;
    else return "unknown fault setting " + key;
    if (!ok) return "bad fault setting " + pair;
  }
  return "";
}

bool isFlag(const std::string& key) { return key == "no-bulky" || key == "quiet" || key == "help"; }

}  // namespace

std::string fileStem(const Scenario& s) {
  if (!s.stem.empty()) return s.stem;
  char text[64];
  std::snprintf(text, sizeof text, "_%02u-%02u-%02u-%02u-%02u-%02u_", s.year % 100, s.month, s.day,
                s.timeOfDay / 3600 % 100, s.timeOfDay / 60 % 60, s.timeOfDay % 60);
  return text;
}

std::string applyOption(Scenario& s, const std::string& key, const std::string& value) {
  auto bad = [&] { return "bad value for --" + key + ": " + value; };
  uint64_t u = 0;
  if (key == "seed") return parseUnsigned(value, s.seed) ? "" : bad();
  if (key == "batches") return parse32(value, s.batches) ? "" : bad();
  if (key == "size") return parseUnsigned(value, s.targetBytes, true) ? "" : bad();
  if (key == "rows") return parse32(value, s.rows) ? "" : bad();
  if (key == "cols" || key == "columns") return parse32(value, s.cols) ? "" : bad();
  if (key == "first-batch") return parse32(value, s.firstBatch) ? "" : bad();
  if (key == "first-tag") return parse32(value, s.firstTag) ? "" : bad();
  if (key == "batch-us") return parse32(value, s.batchMicros) ? "" : bad();
  if (key == "beams") return parse32(value, s.beams) ? "" : bad();
  if (key == "scale") return parse32(value, s.scaleNm) ? "" : bad();
  if (key == "video-every") return parse32(value, s.videoEvery) ? "" : bad();
  if (key == "interleave") return parse32(value, s.interleave) ? "" : bad();
  if (key == "antenna-delay") return parse32(value, s.antennaDelay) && s.antennaDelay <= 1 ? "" : bad();
  if (key == "first-index") return parse32(value, s.firstIndex) ? "" : bad();
  if (key == "split-batches") return parse32(value, s.splitBatches) ? "" : bad();
  if (key == "split-bytes") return parseUnsigned(value, s.splitBytes, true) ? "" : bad();
  if (key == "source-tag") return parseUnsigned(value, u) && u < 256 ? (s.sourceTag = static_cast<uint8_t>(u), "") : bad();
  if (key == "lat") return parseDouble(value, s.latitude) && std::abs(s.latitude) < 89 ? "" : bad();
  if (key == "lon") return parseDouble(value, s.longitude) ? "" : bad();
  if (key == "alt") return parseDouble(value, s.altitude) ? "" : bad();
  if (key == "heading") return parseDouble(value, s.heading) ? "" : bad();
  if (key == "speed") return parseDouble(value, s.speed) ? "" : bad();
  if (key == "out" || key == "o") return (s.outputDir = value), "";
  if (key == "stem") return (s.stem = value), "";
  if (key == "extension") return (s.extension = value), "";
  if (key == "manifest") return (s.manifestPath = value), "";
  if (key == "cycle-map") return (s.cycleMapPath = value), "";
  if (key == "no-bulky") return (s.noBulky = value != "false"), "";
  if (key == "quiet") return (s.quiet = value != "false"), "";
  if (key == "flows") return (s.onlyFlows = split(value, ',')), "";
  if (key == "skip-flows") return (s.skipFlows = split(value, ',')), "";
  if (key == "soft-signals") return (s.softSignals = value == "none" ? std::vector<std::string>{} : split(value, ',')), "";
  if (key == "modes") return parseModes(value, s.modes);
  if (key == "date") {
    unsigned y, mo, d;
    if (std::sscanf(value.c_str(), "%u-%u-%u", &y, &mo, &d) != 3 || mo < 1 || mo > 12 || d < 1 || d > 31) return bad();
    s.year = y % 100, s.month = mo, s.day = d;
    return "";
  }
  if (key == "time") {
    unsigned h, mi, sec;
    if (std::sscanf(value.c_str(), "%u:%u:%u", &h, &mi, &sec) != 3 || h > 23 || mi > 59 || sec > 59) return bad();
    s.timeOfDay = h * 3600 + mi * 60 + sec;
    return "";
  }
  if (key == "standby") {
    for (const auto& item : split(value, ',')) {
      StandbyPeriod p;
      auto colon = item.find(':');
      if (colon == std::string::npos || !parse32(item.substr(0, colon), p.at) ||
          !parse32(item.substr(colon + 1), p.batches) || p.at == 0 || p.batches == 0)
        return bad();
      s.standby.push_back(p);
    }
    return "";
  }
  if (key == "source") {
    auto eq = value.find('=');
    if (eq == std::string::npos) return bad();
    std::string id = value.substr(eq + 1);
    uint64_t v = id.size() == 1 ? static_cast<unsigned char>(id[0]) : 0;
    if (id.size() != 1 && (!parseUnsigned(id, v) || v == 0 || v > 255)) return bad();
    s.sources[value.substr(0, eq)] = static_cast<uint8_t>(v);
    return "";
  }
  if (key == "fault") {
    FaultOption fault;
    std::string error = parseFault(value, fault);
    if (!error.empty()) return error;
    s.faults.push_back(fault);
    return "";
  }
  return "unknown option --" + key;
}

std::string parseCommandLine(Scenario& s, const std::vector<std::string>& args, bool& help) {
  help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "-h") arg = "--help";
    if (arg == "-o") arg = "--out";
    if (arg == "-q") arg = "--quiet";
    if (arg.rfind("--", 0) != 0) return "unexpected argument " + arg;
    std::string key = arg.substr(2), value;
    auto eq = key.find('=');
    if (eq != std::string::npos) {
      value = key.substr(eq + 1);
      key = key.substr(0, eq);
    } else if (!isFlag(key)) {
      if (i + 1 >= args.size()) return "--" + key + " needs a value";
      value = args[++i];
    }
    if (key == "help") {
      help = true;
      continue;
    }
    std::string error;
    if (key == "scenario") {
      std::ifstream in(value, std::ios::binary);
      if (!in) return "cannot read scenario " + value;
      std::stringstream text;
      text << in.rdbuf();
      error = applyScenarioJson(s, text.str());
      if (!error.empty()) error = value + ": " + error;
    } else {
      error = applyOption(s, key, value);
    }
    if (!error.empty()) return error;
  }
  return "";
}

std::string applyScenarioJson(Scenario& s, const std::string& jsonText) {
  Json root;
  std::string error = parseJson(jsonText, root);
  if (!error.empty()) return error;
  if (!root.is_object()) return "the scenario must be a JSON object";
  // An option's text: strings as they are, numbers and flags as JSON writes them, null as "".
  auto text = [](const Json& v) -> std::string {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    return v.dump();
  };
  for (const auto& [key, value] : root.items()) {
    std::string option = key == "faults" ? "fault" : key;
    if (option == "scenario" || option == "help") return "key " + key + " is not allowed in a scenario";
    if (value.is_array()) {
      // Lists of names may be given as arrays; repeatable options take one entry each.
      bool repeatable = option == "fault" || option == "standby" || option == "source";
      std::string joined;
      for (const auto& item : value) {
        if (item.is_structured()) return "bad entry in " + key;
        if (repeatable) error = applyOption(s, option, text(item));
        else joined += (joined.empty() ? "" : ",") + text(item);
        if (!error.empty()) return error;
      }
      if (!repeatable) error = applyOption(s, option, joined.empty() && option == "soft-signals" ? "none" : joined);
    } else if (value.is_object()) {
      return "bad value for " + key;
    } else if (value.is_boolean() && isFlag(option)) {
      error = applyOption(s, option, value.get<bool>() ? "true" : "false");
    } else {
      error = applyOption(s, option, text(value));
    }
    if (!error.empty()) return error;
  }
  return "";
}

std::string usageText() {
  return R"(usage: tarsel-synth [options]
Writes a synthetic recording (numbered files _YY-MM-DD-HH-MM-SS_N.rec) with the flows of
the built-in layout, interleaved batch by batch as the recorder writes them, and a manifest
<first file>.manifest.json that states what was written.

Scenario
  --scenario FILE      JSON object whose keys are these options without "--" (arrays for
                       lists and repeatable options); later options override it
  --seed N             seed of every random choice (default 1)
  --batches N          batches to write (default 12)
  --size N[K|M|G]      write batches until at least N bytes are written (ignores --batches)
  --rows N, --cols N   signal matrix rows and columns (default 32 x 256; rows*cols*4 <= 2M)
  --first-batch N      first batch number (default 1000)
  --first-tag N        first time tag, 64 us ticks (default 0x100000)
  --batch-us N         batch period in microseconds (default 40000)
  --date YY-MM-DD      recording date (default 19-05-17)
  --time HH:MM:SS      time of day of the first batch (default 10:30:00)
  --lat DEG --lon DEG --alt M --heading DEG --speed M/S
                       flight path start (default 45.4, 9.2, 3000, 60, 150); the aircraft
                       flies straight on, batch by batch
  --modes LIST         mode/waveform:batches,... e.g. rws/mprf:30,gm/lprf:20,sar/agr_long
                       (names or numbers; a missing or 0 count runs to the end; the list
                       repeats; default rws/mprf)
  --standby AT:N,...   standby before batch iteration AT (from 0): N batch numbers skipped
  --beams N            AESA beams programmed per batch (default 6)
  --scale NM           display range 10, 20, 40 or 80 (default 40)
  --antenna-delay 0|1  antenna time tag one batch late (default 0)
  --video-every N      one VIDEO frame every N batches (default 4; 0: none)

Flows and sources
  --flows LIST         write only these flows (names of the built-in layout)
  --skip-flows LIST    leave these flows out
  --no-bulky           leave out signal matrices, their software copies and VIDEO
  --soft-signals LIST  software signal copies: SUM,DAZ,DEL,GUARD (default) or none
  --source FLOW=ID     recording source of a flow: one character (3, S, V) or a number
                       (defaults: SOFT S, SOFTDFE V, every other flow 3)
  --source-tag N       source tag byte of every block (default 1)
  --interleave N       blocks each flow writes before the next one's turn (default 4;
                       0: one flow after the other)

Files
  --out DIR, -o DIR    output folder (default .)
  --stem TEXT          file name stem (default _YY-MM-DD-HH-MM-SS_ from --date, --time)
  --first-index N      number of the first file (default 1)
  --extension EXT      file extension (default rec)
  --split-bytes N[K|M|G]  start the next file after N bytes (blocks straddle files)
  --split-batches N    start the next file every N batches
  --manifest FILE      manifest path (default <out>/<first file>.manifest.json)
  --cycle-map FILE     also write one JSON line per cycle: flow, source, cycle number, whether it
                       is complete, the stream offsets of its blocks and of the block that closes it
  --quiet              print nothing but errors

Faults (repeatable): --fault KIND[:key=value,...]; "at" is the batch iteration (from 0,
default 2), "cycle" the cycle of the flow within it (default 0), "block" the block index
  stray-bytes[:bytes=48]                   junk in front of the first block
  truncated-block[:flow=F-SUM,block=1,bytes=32]   block shorter by bytes
  missing-block[:flow=F-SUM,block=1]       block left out (partial cycle)
  duplicated-block[:flow=F-SUM,block=1]    block written twice
  unknown-address[:address=0x30000000,count=1]    blocks no flow claims
  second-source[:flow=F-HDR,source=0x56]   one more cycle from another source
  no-hdr0[:flow=F-HDR]                     firmware header(s) without "HDR0"
                                           (default F-HDR and DISPHEADER)
  batch-hole[:count=1]                     batch numbers skipped before iteration at
  sblock-end[:sblock=D1553]                damaged S-Block end marker
  bit-flips[:rate=1e-6]                    random bit flips, rate per bit
  cut-end[:bytes=100]                      the last file ends inside its last block

Exit status: 0 written, 1 write error, 2 bad option or scenario.
)";
}

}  // namespace synth

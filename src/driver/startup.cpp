// Start-up: the converter's command line, the layout, the outputs and the run, in that order.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "commandline/commandline.h"
#include "converter.h"
#include "driver/converter_options.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

constexpr int versionMajor = 2;
constexpr int versionMinor = 1;
constexpr const char* changeList =
    "Change list:\n"
    "  - Post-process data for session history (pp-*.txt file)\n"
    "  - Support DFE CAL data\n"
    "  - generate flight track\n"
    "  - add option /pbug, as workaround bug in DSP that set latitude = 0 in recored header\n"
    "  - Generate decoded AESA beam position file 'ant_pos-*.txt'";

// The program name: the executable without directory and extension.
std::string programNameOf(const char* argv0) {
  std::string name = argv0 ? argv0 : "tarsel";
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

// Records one occurrence the way the engine's scanner does, before the command line is read.
void preset(zor::cmdopt_param& qualifier) { qualifier.set(false); }

void applyPlaybackPresets(const std::string& program, ConverterQualifiers& q) {
  bool dfe = program == "tarseldfe";
  if (!dfe && program != "tarseldsp") return;
  msg::summaryLine(dfe ? "Autoset option for DFE playback" : "Autoset option for DSP playback");
  preset(q.videoshow);
  q.videoshow.value = 0;
  preset(q.videoout);
  preset(q.videoframe);
  q.videoframe.value = -1;
  if (dfe) {
    preset(q.firmwareheader);
    preset(q.nosignal);
  }
}

// A layout is a short text; anything else named as one (a device, a FIFO, a folder, a huge
// file) is refused before it is read, so it can neither block the start nor size memory.
constexpr uint64_t maxLayoutBytes = 16u << 20;

// The layout: tarsel_cfg.json in the working directory unless /json was given, else the /json
// file, else the built-in text (also for /json without a file name).
void chooseLayout(const ConverterQualifiers& q, ConverterSettings& settings) {
  std::string file;
  if (!q.json.given() && ::access("tarsel_cfg.json", R_OK) == 0)
    file = "tarsel_cfg.json";
  else if (q.json.given() && !q.json.value.empty())
    file = q.json.value;
  if (file.empty()) return;  // the built-in layout, "<default>"
  settings.layoutPath = file;
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(file, error);
  uint64_t bytes = 0;
  if (!error) {
    if (status.type() != std::filesystem::file_type::regular) {
      msg::fatal("layout file %s is not a regular file", file.c_str());
      msg::exit_with(1);  // also when F messages are hidden: nothing is read or allocated
    }
    bytes = std::filesystem::file_size(file, error);
    if (error) bytes = 0;
    if (bytes > maxLayoutBytes) {
      msg::fatal("layout file %s is larger than 16 MiB (%llu bytes)", file.c_str(),
                 static_cast<unsigned long long>(bytes));
      msg::exit_with(1);
    }
  }
  // A missing or unreadable file reads as empty and fails to parse, as before; what a file
  // gained since it was measured is not read.
  std::ifstream in(file, std::ios::binary);
  std::string content(bytes, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  settings.layoutText.assign(content.size() + 2048, '\0');
  std::memcpy(settings.layoutText.data(), content.data(), content.size());
}

ObserverSettings observerSettings(const ConverterQualifiers& q) {
  ObserverSettings s;
  s.nosignal = q.nosignal.given();
  s.onlysw = q.onlysw.given();
  s.posbug = q.posbug.given();
  s.hsynch = q.hsynch.given();
  s.fromstby = q.fromstby.given();
  s.sar = q.sar.given();
  s.firmwareHeader = q.firmwareheader.given();
  s.onlydsp = q.onlydsp.given();
  s.zeroGiven = q.zero.given();
  s.zero = q.zero.value;
  s.bstartGiven = q.bstart.given();
  s.bstart = q.bstart.value;
  s.examine = q.examine.given() ? q.examine.value : 0;
  s.videoOut = q.videoout.given();
  s.videoOutEvery = q.videoout.has_value ? q.videoout.value : 1;
  s.videoSave = q.videosave.state;
  s.videoShow = q.videoshow.state;
  if (s.videoShow && q.videoshow.has_value) s.frameDelay = q.videoshow.value;
  s.trackMode = q.gps.given() ? (q.gps.has_value ? static_cast<int32_t>(q.gps.value) : 1) : -1;
  s.postProcessLevel = q.postprocess.given() ? (q.postprocess.has_value ? q.postprocess.value : 0) : -2;
  return s;
}

ConverterSettings converterSettings(const ConverterQualifiers& q) {
  ConverterSettings s;
  s.observers = observerSettings(q);
  s.run.maxBatches = q.max.given() ? static_cast<uint32_t>(q.max.value) : 1000000;
  s.run.stopOnDamage = q.stop.given();
  s.run.fastDateFix = q.fixdate.given() && q.analyze.given();
  s.sources.sourceName = q.binfile.value;
  s.sources.concatenate =
      q.concatenate.given() ? (q.concatenate.has_value ? q.concatenate.value : -1) : 0;
  s.sources.fixdate = q.fixdate.given();
  s.sources.analyze = q.analyze.given();
  s.sources.fastDateFix = s.run.fastDateFix;
  if (q.outfile.given()) s.outfile = q.outfile.value;
  if (q.rows.given()) s.rows = static_cast<uint32_t>(q.rows.value);
  if (q.cols.given()) s.cols = static_cast<uint32_t>(q.cols.value);
  if (q.videoframe.given()) s.frameRate = q.videoframe.value;
  s.fixSarHeaders = q.fixhr.given();
  if (q.report.given()) s.reportPath = q.report.value;
  s.version = projectVersion();
  chooseLayout(q, s);
  return s;
}

std::atomic<bool> stopRequested{false};

}  // namespace

void writeBanner() {
  std::printf("tarsel v.%d.%d: Convert VELOX-E recorded data\n", versionMajor, versionMinor);
  std::fflush(stdout);
}

void cmd_options::version() { writeBanner(); }

void cmd_options::usage() {
  version();
  zor::cmdopt_autoset::usage();
  std::fflush(msg::stream_for(msg::F));
  std::printf("%s\n", changeList);
  std::fflush(stdout);
}

int tarselMain(int argc, char** argv) {
  if (int status = answerLinuxOptions(argc, argv); status >= 0) return status;
  zor::reset_registries();
  ConverterQualifiers q;
  cmd_options options;

  std::string program = programNameOf(argc > 0 ? argv[0] : nullptr);
  msg::init(program.c_str(), 3);
  msg::set_auto_summary(1);
  start_batch_timer();
  writeBanner();
  applyPlaybackPresets(program, q);
  if (!options.parse_command_line(argc, argv)) msg::exit_with(1);

  Converter converter(converterSettings(q), stopRequested);
  const ConverterSettings& settings = converter.settings();
  msg::info("Configuration file: %s", settings.layoutPath.c_str());
  if (const char* error = converter.loadLayout()) {
    msg::fatal("%s: JSON error: %s", settings.layoutPath.c_str(), error);
    msg::exit_with(1);  // also when F messages are hidden: there is no table to convert with
  }
  platform::installInterruptHandler(&stopRequested);  // before the destination is opened
  converter.openSources();
  int status = converter.run();
  if (int signalStatus = platform::stopExitStatus()) return signalStatus;
  return status;
}

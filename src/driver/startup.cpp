// Start-up: the converter's command line, the layout, the outputs and the run, in that order.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commandline/commandline.h"
#include "driver/conversion.h"
#include "driver/converter_options.h"
#include "driver/driver.h"
#include "driver/source_sequence.h"
#include "layout/layout.h"
#include "observers/observers.h"
#include "platform/platform.h"
#include "postprocess/postprocess.h"
#include "soft/soft.h"
#include "video/video.h"

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

// The layout text lives for the whole run: flow names point into it.
struct LayoutText {
  std::string path;
  std::vector<char> text;
};

LayoutText chooseLayout(const ConverterQualifiers& q) {
  LayoutText layout;
  std::string file;
  if (!q.json.given() && ::access("tarsel_cfg.json", R_OK) == 0)
    file = "tarsel_cfg.json";
  else if (q.json.given() && !q.json.value.empty())
    file = q.json.value;
  if (file.empty()) {
    const char* builtIn = defaultLayoutText();
    layout.path = "<default>";
    layout.text.assign(std::strlen(builtIn) + 2048, '\0');
    std::memcpy(layout.text.data(), builtIn, std::strlen(builtIn));
    return layout;
  }
  layout.path = file;
  std::ifstream in(file, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  layout.text.assign(content.size() + 2048, '\0');
  std::memcpy(layout.text.data(), content.data(), content.size());
  return layout;
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

  RunSettings run;
  run.maxBatches = q.max.given() ? static_cast<uint32_t>(q.max.value) : 1000000;
  run.stopOnDamage = q.stop.given();
  ObserverSettings settings = observerSettings(q);

  FlowTable table;
  Observers observers(settings, table);
  LayoutText layout = chooseLayout(q);
  msg::info("Configuration file: %s", layout.path.c_str());
  if (const char* error = loadFlowTable(layout.text.data(), table, observers.layoutTargets())) {
    msg::fatal("%s: JSON error: %s", layout.path.c_str(), error);
    msg::exit_with(1);  // also when F messages are hidden: there is no table to convert with
  }

  SourceSettings sourceSettings;
  sourceSettings.sourceName = q.binfile.value;
  std::string destination = destinationNameFor(sourceSettings.sourceName);
  observers.display.display_set_avi_name("vcapture_" + destination + ".avi");
  if (q.outfile.given()) destination = q.outfile.value;
  observers.destinationName = destination;
  if (q.rows.given()) observers.values.currentRows = static_cast<uint32_t>(q.rows.value);
  if (q.cols.given()) observers.values.currentCols = static_cast<uint32_t>(q.cols.value);
  sourceSettings.concatenate =
      q.concatenate.given() ? (q.concatenate.has_value ? q.concatenate.value : -1) : 0;
  sourceSettings.fixdate = q.fixdate.given();
  sourceSettings.analyze = q.analyze.given();
  SourceSequence sources(sourceSettings, observers);
  sources.prepareSources();
  sources.openFirstSource(destination);

  if (settings.videoSave) observers.display.display_save_on();
  if (q.videoframe.given()) observers.display.display_set_frame_rate(q.videoframe.value);
  platform::installInterruptHandler(&stopRequested);
  if (!settings.firmwareHeader) observers.values.currentHeaderObserver = &observers.softHeaderObserver;

  SoftDecoder decoder;
  observers.decoder = &decoder;
  PostProcessState postProcess(decoder, observers.values.signalCopy,
                               observers.values.signalCopyLength);
  postProcess.setLastSourceName(&observers.lastSourceName);
  postProcess.setUpPostProcess(settings.postProcessLevel);
  if (q.fixhr.given()) postProcess.setFixSarHeaders(true);
  run.fastDateFix = q.fixdate.given() && q.analyze.given();
  sourceSettings.fastDateFix = run.fastDateFix;

  Conversion conversion(run, table, observers, sources, stopRequested);
  conversion.setPostProcess(&postProcess);
  return conversion.runConversion();
}
